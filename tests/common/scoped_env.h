// An environment variable set (or, given null, removed) for a scope and put
// back after it; the time zone is read again both times, for "TZ".
#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace test_env {

class Scoped {
public:
    Scoped(const char *name, const char *value) : name_(name) {
        if (const char *old = ::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        ::tzset();
    }
    Scoped(const char *name, const std::string &value) : Scoped(name, value.c_str()) {}
    ~Scoped() {
        old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_);
        ::tzset();
    }
    Scoped(const Scoped &) = delete;
    Scoped &operator=(const Scoped &) = delete;

private:
    const char *name_;
    std::optional<std::string> old_;
};

}  // namespace test_env
