#pragma once
// Command-line parsing for the pkgtool subcommands: long options with a value
// either as the next argument or after "=", a few one-letter aliases, "--" to
// end the options, and positional arguments anywhere.
#include <map>
#include <string>
#include <vector>

namespace pkgtool {

struct OptionRecipe {
    const char* name;  // long name without the leading "--"
    char shortName;    // 0 when there is none
    bool takesValue;
    bool repeatable;  // otherwise giving it twice is an error
};

class ParsedArgs {
public:
    bool has(const std::string& name) const { return values_.count(name) != 0; }
    // The option's value (the empty string when absent).
    std::string value(const std::string& name) const;
    // Every value of a repeatable option, in command-line order.
    const std::vector<std::string>& values(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    friend bool parseArgs(const std::vector<OptionRecipe>&, const std::vector<std::string>&,
                          ParsedArgs&, std::string*);
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
};

// False with a message for an unknown option, a missing value, a value given to
// a flag, or a non-repeatable option given twice.
bool parseArgs(const std::vector<OptionRecipe>& recipes, const std::vector<std::string>& args,
               ParsedArgs& parsed, std::string* why);

}  // namespace pkgtool
