#include "help_text.h"

#include "gpiolink.h"

namespace gpioctl {

std::string Wrapped(const std::string &text, std::size_t indent)
{
    std::string out;
    std::string line;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(at, end - at);
        if (!line.empty() && indent + line.size() + 1 + word.size() > 78) {
            out += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = end + 1;
    }
    return out + std::string(indent, ' ') + line + "\n";
}

std::string ExitStatusText()
{
    std::string text = "  0   success (bit-test: high or low)\n";
    for (int code = GPIO_RESULT_BAD_HANDLE; code <= GPIO_RESULT_UNEXPECTED; ++code) {
        text += "  " + std::to_string(code) + "   " + gpiolink_result_name(code) + "\n" +
                Wrapped(std::string(gpiolink_result_text(code)) +
                            (code == GPIO_RESULT_TIMEOUT ? "; scan: no port answered" : ""),
                        6);
    }
    text += "  1   also: the output could not be written (its operation succeeded)\n"
            "  64  usage error\n  130 bench stopped by Ctrl-C (its figures so far are printed)\n";
    return text;
}

}  // namespace gpioctl
