// `vtask check`: examines the task store folder and the "Schedule" service
// without loading the store through the component (which refuses a store
// holding an item it cannot open), and says what is wrong and what to do.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vtask {

// Splits `text` as a POSIX shell splits a simple command's words: blanks
// separate words; '...' keeps everything literally; "..." keeps everything but
// a backslash before $ ` " \ or a line break; a backslash outside quotes takes
// the next character literally. Nothing is expanded. Empty when a quote is
// left open.
std::optional<std::vector<std::string>> SplitLikeShell(const std::string &text);

// `words` as Windows parameters: each word that holds a blank or a quote (or
// is empty) in double quotes, backslashes before a quote doubled.
std::string QuoteForWindows(const std::vector<std::string> &words);

// `vtask check [NAME] [--repair] [--json]`, the words after "check". Exit code
// 0 when nothing is found, 1 otherwise, 2 for a wrong command line.
int RunCheck(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace vtask
