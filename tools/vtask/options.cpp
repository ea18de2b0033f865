#include "tools/vtask/options.h"

#include "tools/vtask/text.h"

namespace vtask {

std::optional<std::string> ParsedArgs::Value(std::string_view name) const {
    auto it = values_.find(std::string(name));
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

ParsedArgs ParseArgs(const std::vector<std::string> &args, const std::vector<OptionSpec> &specs) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (!optionsEnded && arg == "--") {
                optionsEnded = true;
                continue;
            }
            if (!optionsEnded && arg.size() > 1 && arg[0] == '-' && arg != "--")
                throw UsageError("unknown option '" + arg + "'");
            parsed.positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionSpec *known = nullptr;
        for (const OptionSpec &s : specs)
            if (s.name == name) known = &s;
        if (!known) throw UsageError("unknown option '--" + name + "'");
        if (parsed.Has(name)) throw UsageError("option '--" + name + "' given twice");
        if (!known->takesValue) {
            if (inlineValue) throw UsageError("option '--" + name + "' takes no value");
            parsed.Set(name, "");
            continue;
        }
        if (inlineValue) {
            parsed.Set(name, *inlineValue);
        } else {
            if (i + 1 >= args.size()) throw UsageError("option '--" + name + "' needs a value");
            parsed.Set(name, args[++i]);
        }
    }
    return parsed;
}

void ExpectPositional(const ParsedArgs &args, const std::vector<std::string> &names, std::string_view command) {
    if (args.positional.size() < names.size())
        throw UsageError(std::string(command) + ": missing " + names[args.positional.size()]);
    if (args.positional.size() > names.size())
        throw UsageError(std::string(command) + ": unexpected argument '" + args.positional[names.size()] + "'");
}

}  // namespace vtask
