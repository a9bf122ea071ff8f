#ifndef VIRDA_TEST_STDERR_CAPTURE_H
#define VIRDA_TEST_STDERR_CAPTURE_H

#include <algorithm>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

namespace virda_test {

/// Runs `action` with std::cerr writing into a string, and returns the text
/// written. std::cerr gets its own buffer back afterwards, also when `action`
/// throws. Only std::cerr is captured: what MPI, UCX or a sanitizer writes to
/// the standard error file goes there as usual. Capture is per rank.
template <class Action>
std::string capture_stderr(Action&& action)
{
    std::ostringstream captured;
    class Redirect {
    public:
        explicit Redirect(std::streambuf* into) : saved_(std::cerr.rdbuf(into)) {}
        ~Redirect() { std::cerr.rdbuf(saved_); }
        Redirect(const Redirect&) = delete;
        Redirect& operator=(const Redirect&) = delete;

    private:
        std::streambuf* saved_;
    } redirect(captured.rdbuf());
    std::forward<Action>(action)();
    return captured.str();
}

/// The lines of `text`, without their '\n' and otherwise unchanged (trailing
/// blanks stay). A final line without '\n' counts; "" has no lines.
inline std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

/// How many lines of `text` are exactly `line` (a whole line, trailing blanks
/// included; `line` holds no '\n').
inline int count_line(const std::string& text, const std::string& line)
{
    const auto lines = split_lines(text);
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

} // namespace virda_test

#endif
