// An environment variable set (or, given null, removed) for a scope and put
// back after it; the time zone is read again both times, for "TZ".
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

namespace test_env {

struct Scoped {
    Scoped(const char *name, const char *value) : name_(name), had_(::getenv(name)), old_(had_ ? ::getenv(name) : "") {
        Set(value);
    }
    Scoped(const char *name, const std::string &value) : Scoped(name, value.c_str()) {}
    ~Scoped() { Set(had_ ? old_.c_str() : nullptr); }
    void Set(const char *value) const { value ? ::setenv(name_, value, 1) : ::unsetenv(name_), ::tzset(); }

    const char *name_;
    bool had_;
    std::string old_;
};

}  // namespace test_env
