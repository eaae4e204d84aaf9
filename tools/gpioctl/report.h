// How gpioctl reports one operation: a line of text, or a JSON object for
// scripts.
#ifndef GPIOCTL_REPORT_H
#define GPIOCTL_REPORT_H

#include <string>
#include <utility>
#include <vector>

namespace gpioctl {

class Report {
public:
    // With `named`, a text line starts with the operation ("input: ...").
    explicit Report(bool json, bool named = false) : json_(json), named_(named) {}

    // Adds a field shown after the result: a number, or text.
    void Number(const std::string &key, double value);
    void Text(const std::string &key, const std::string &value);
    // A byte: a number in JSON, 0xNN in text.
    void Byte(const std::string &key, unsigned value);
    // Says what the result means here, in place of the result's own phrase.
    void Explain(const std::string &text) { explanation_ = text; }

    // Prints "GPIO_RESULT_X: <text> key value ..." or the JSON object for
    // `operation` with its result code.
    void Print(const std::string &operation, int result) const;

private:
    bool json_;
    bool named_;
    std::string explanation_;
    // Each field with its value already rendered for JSON and for text.
    struct Field {
        std::string key;
        std::string json;
        std::string text;
    };
    std::vector<Field> fields_;
};

// Escapes a string for a JSON string literal.
std::string JsonQuote(const std::string &text);

}  // namespace gpioctl

#endif  // GPIOCTL_REPORT_H
