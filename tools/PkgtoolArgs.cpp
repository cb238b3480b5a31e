#include "tools/PkgtoolArgs.h"

namespace pkgtool {

std::string ParsedArgs::value(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end() || it->second.empty()) return std::string();
    return it->second.back();
}

const std::vector<std::string>& ParsedArgs::values(const std::string& name) const {
    static const std::vector<std::string> kNone;
    auto it = values_.find(name);
    return it == values_.end() ? kNone : it->second;
}

namespace {

const OptionRecipe* findLong(const std::vector<OptionRecipe>& recipes, const std::string& name) {
    for (const OptionRecipe& s : recipes)
        if (name == s.name) return &s;
    return nullptr;
}

const OptionRecipe* findShort(const std::vector<OptionRecipe>& recipes, char c) {
    for (const OptionRecipe& s : recipes)
        if (s.shortName != 0 && s.shortName == c) return &s;
    return nullptr;
}

bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

}  // namespace

bool parseArgs(const std::vector<OptionRecipe>& recipes, const std::vector<std::string>& args,
               ParsedArgs& parsed, std::string* why) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionRecipe* recipe = nullptr;
        std::string shown;
        bool inlineValue = false;
        std::string value;
        if (arg.compare(0, 2, "--") == 0) {
            size_t eq = arg.find('=');
            std::string name = arg.substr(2, eq == std::string::npos ? eq : eq - 2);
            shown = "--" + name;
            recipe = findLong(recipes, name);
            if (recipe && eq != std::string::npos) {
                inlineValue = true;
                value = arg.substr(eq + 1);
            }
        } else if (arg.size() == 2) {
            shown = arg;
            recipe = findShort(recipes, arg[1]);
        }
        if (!recipe) return fail(why, "unknown option \"" + (shown.empty() ? arg : shown) + "\"");
        if (recipe->takesValue && !inlineValue) {
            if (i + 1 >= args.size()) return fail(why, "option " + shown + " needs a value");
            value = args[++i];
        } else if (!recipe->takesValue && inlineValue) {
            return fail(why, "option " + shown + " takes no value");
        }
        std::vector<std::string>& slot = parsed.values_[recipe->name];
        if (!slot.empty() && !recipe->repeatable)
            return fail(why, "option " + shown + " given more than once");
        slot.push_back(value);
    }
    return true;
}

}  // namespace pkgtool
