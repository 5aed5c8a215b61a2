// Environment variables for one scope: the virtual target and the drivers read
// their settings from the environment, and a case must leave it as it found it.
#pragma once

#include <stdlib.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// A null value removes the variable.
using env_vars = std::vector<std::pair<std::string, const char *>>;

// Sets (or removes) variables and puts each back as it was when the scope ends.
class scoped_env {
public:
    scoped_env() = default;
    explicit scoped_env(const env_vars &vars)
    {
        for (const auto &v : vars)
            set(v.first, v.second);
    }
    scoped_env(scoped_env &&other) noexcept : saved(std::move(other.saved)) { other.saved.clear(); }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;
    scoped_env &operator=(scoped_env &&) = delete;
    ~scoped_env()
    {
        for (const auto &s : saved) {
            if (s.second.first)
                setenv(s.first.c_str(), s.second.second.c_str(), 1);
            else
                unsetenv(s.first.c_str());
        }
    }

    void set(const std::string &name, const char *value)
    {
        if (!saved.count(name)) {
            const char *old = getenv(name.c_str());
            saved[name] = {old != nullptr, old ? old : ""};
        }
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::pair<bool, std::string>> saved;  // name -> (was set, value)
};

// "A=1 B=(unset)": names a case in a failure message.
inline std::string describe(const env_vars &vars)
{
    std::string text;
    for (const auto &v : vars)
        text += (text.empty() ? "" : " ") + v.first + "=" + (v.second ? v.second : "(unset)");
    return text;
}

// Each environment, set over the current one for the call only, makes read()
// refuse it with std::invalid_argument.
template <class Read> void expect_each_refused(const std::vector<env_vars> &cases, Read read)
{
    for (const env_vars &vars : cases) {
        scoped_env env(vars);
        EXPECT_THROW(read(), std::invalid_argument) << describe(vars);
    }
}

// The same for one variable set to each of values in turn.
template <class Read>
void expect_each_refused(const std::string &name, std::initializer_list<const char *> values, Read read)
{
    std::vector<env_vars> cases;
    for (const char *value : values)
        cases.push_back({{name, value}});
    expect_each_refused(cases, read);
}

}  // namespace e2e
