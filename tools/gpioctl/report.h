// How gpioctl reports one operation: a line of text, or a JSON object for
// scripts, in the one JSON style of the tools (compact, one object a line).
#ifndef GPIOCTL_REPORT_H
#define GPIOCTL_REPORT_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "text_output.h"

namespace gpioctl {

class Report {
public:
    // With `named`, a text line starts with the operation ("input: ...").
    explicit Report(bool json, bool named = false) : json_(json), named_(named) {}

    // Adds a field shown after the result: a number (decimal, as port and
    // bit numbers are everywhere), a byte value (0xNN in text), or text,
    // which is escaped for the terminal or for JSON. `label` is the text
    // form of the key, `unit` follows the number in text.
    void Number(const std::string &key, double value, const std::string &label = "", const std::string &unit = "");
    void Byte(const std::string &key, unsigned value);
    void Text(const std::string &key, const std::string &value);
    // Says what the result means here, in place of the result's own phrase.
    void Explain(const std::string &text) { explanation_ = text; }
    // Text shows the fields as a small table below the result line.
    void AsTable() { table_ = true; }

    // Prints "GPIO_RESULT_X: <text>, key value, ..." or the JSON object for
    // `operation` with its result code.
    void Print(const std::string &operation, int result) const;

private:
    bool json_;
    bool named_;
    bool table_ = false;
    std::string explanation_;
    // Each field with its value for JSON and its text.
    struct Field {
        std::string key;
        std::string label;
        gpio_tools::Json json;
        std::string text;
    };
    std::vector<Field> fields_;
};

// `gpioctl ports --json`: {"operation":"ports","ports":["ttyS0",...]}
std::string PortListJson(const std::vector<std::string> &ports);

}  // namespace gpioctl

#endif  // GPIOCTL_REPORT_H
