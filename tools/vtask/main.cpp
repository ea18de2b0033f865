// vtask: the command-line client of the TaskScheduler automation component.
#include <iostream>
#include <string>
#include <vector>

#include "service/platform.h"
#include "tools/vtask/commands.h"
#include "tools/vtask/text.h"

int main(int argc, char **argv) {
    const HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        std::cerr << "vtask: the automation runtime did not start (" << hr << ")\n";
        return 1;
    }
    int code;
    {
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) {
#ifdef _WIN32
            // The command line comes in the ANSI code page; vtask works in UTF-8.
            std::wstring wide(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0)), L'\0');
            if (!wide.empty()) MultiByteToWideChar(CP_ACP, 0, argv[i], -1, wide.data(), static_cast<int>(wide.size()));
            std::u16string units;
            for (wchar_t c : wide)
                if (c) units.push_back(static_cast<char16_t>(c));
            args.push_back(vtask::Utf8FromUtf16(units));
#else
            args.emplace_back(argv[i]);
#endif
        }
        code = vtask::RunCommandLine(args, std::cout, std::cerr);
    }
    CoUninitialize();
    return code;
}
