// Command-line options: positional words and --name [value] options, either
// as "--name value" or "--name=value". "--" ends the options.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtask {

struct OptionSpec {
    std::string name;  // without the dashes
    bool takesValue = true;
};

class ParsedArgs {
public:
    std::vector<std::string> positional;

    bool Has(std::string_view name) const { return values_.count(std::string(name)) != 0; }
    std::optional<std::string> Value(std::string_view name) const;
    void Set(const std::string &name, std::string value) { values_[name] = std::move(value); }

private:
    std::map<std::string, std::string> values_;
};

// Raises UsageError for an unknown option, a missing value, a value given to
// an option without one, or an option given twice.
ParsedArgs ParseArgs(const std::vector<std::string> &args, const std::vector<OptionSpec> &specs);

// Refuses more or fewer positional words than `names` lists.
void ExpectPositional(const ParsedArgs &args, const std::vector<std::string> &names, std::string_view command);

}  // namespace vtask
