// The thread's error information after a failing member, taken from it
// (GetErrorInfo clears it): "source|description|help file's name|context",
// empty when there is none; and the same for a record the component raised
// itself. Both builds: the tests over the fake service and the compiled client.
#pragma once

#include <string>

#include "collection/keyed_collection.h"
#include "globals/strings.h"

namespace test_error {

inline std::u16string Joined(const std::u16string &source, const std::u16string &description,
                             const std::u16string &file, DWORD context) {
    const std::string number = std::to_string(context);
    return source + u"|" + description + u"|" + file.substr(file.find_last_of(u"\\/") + 1) + u"|" +
           std::u16string(number.begin(), number.end());
}

inline std::u16string TakeErrorInfo() {
    velqosch::ComRef<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK || !info) return u"";
    velqosch::BstrHolder source, description, file;
    DWORD context = 0;
    info->GetSource(source.out()), info->GetDescription(description.out()), info->GetHelpFile(file.out());
    info->GetHelpContext(&context);
    using velqosch::FromBstr;
    return Joined(FromBstr(source.get()), FromBstr(description.get()), FromBstr(file.get()), context);
}

inline std::u16string Raised(const char16_t *description, const char16_t *file = u"", DWORD context = 0) {
    return Joined(u"Velqo Task Scheduler", description, file, context);
}

}  // namespace test_error
