#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lobby {

// The window's memo: the line buffer through which the registry file is saved, which keeps
// the file's text as last saved so the operator can read it. Held as the file's bytes
// (CR LF lines) rather than a list of lines, since a million-player registry is one 40 MB
// text and is written to disk in one piece anyway; where each line starts comes with it, so
// that a view can show any line at once.
class TMemo {
public:
    const std::string& Text() const { return text_; }
    // Where each line of Text() starts (a CR, an LF or the pair ends a line).
    const std::vector<std::size_t>& LineStarts() const { return lineStarts_; }

    void Clear() { SetText({}); }
    // lineStarts, when given, must be those of text: a save finds them while it builds the
    // text, off the loop; otherwise they are found here.
    void SetText(std::string text, std::optional<std::vector<std::size_t>> lineStarts = std::nullopt)
    {
        text_ = std::move(text);
        lineStarts_ = lineStarts ? std::move(*lineStarts) : FindLineStarts(text_);
        if (OnChange)
            OnChange();
    }

    // Called after every change, for the window to show it.
    std::function<void()> OnChange;

private:
    static std::vector<std::size_t> FindLineStarts(const std::string& text)
    {
        std::vector<std::size_t> starts;
        std::size_t pos = 0;
        while (pos < text.size()) {
            starts.push_back(pos);
            const std::size_t end = text.find_first_of("\r\n", pos);
            if (end == std::string::npos)
                break;
            pos = end + 1;
            if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
                ++pos;
        }
        return starts;
    }

    std::string text_;
    std::vector<std::size_t> lineStarts_;
};

} // namespace lobby
