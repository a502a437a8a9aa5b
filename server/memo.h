#pragma once

#include <functional>
#include <string>
#include <utility>

// The window's memo: the line buffer through which the registry file is saved, which keeps
// the file's text as last saved so the operator can read it. Held as the file's bytes
// (CR LF lines) rather than a list of lines, since a million-player registry is one 40 MB
// text and is written to disk in one piece anyway.
class TMemo {
public:
    const std::string& Text() const { return text_; }

    void Clear() { SetText({}); }
    void SetText(std::string text)
    {
        text_ = std::move(text);
        if (OnChange)
            OnChange();
    }

    // Called after every change, for the window to show it.
    std::function<void()> OnChange;

private:
    std::string text_;
};
