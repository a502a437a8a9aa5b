#pragma once

#include <optional>
#include <string>

#include "platform/exception.h"

// The registry file exists but cannot be read. The server must then neither replace it nor
// ever save over it, so this is never shown and carried on from like other errors.
class RegistryUnreadable : public Exception {
public:
    using Exception::Exception;
};

// The registry file's whole content, or nothing when there is no such file. Any other
// failure (no permission, a folder in its place, a read error) raises RegistryUnreadable
// naming the path and the system's reason.
std::optional<std::string> ReadRegistryFile(const std::string& path);

// Replaces the file at path with bytes so that, whatever happens, the path holds either the
// old content or the new one whole: the bytes go to a temporary file in the same folder,
// which is flushed to disk and then renamed over the old one. A temporary file that cannot
// be created or renamed raises EFCreateError "Cannot create file <path>"; a write or flush
// that fails raises EStreamError "Stream write error". The old file is untouched either way.
void WriteFileReplacing(const std::string& path, const std::string& bytes);
