#pragma once
// The message of the exception an action raises, or "(no error)" when it
// raises none: for the tests that check an error's exact text.

#include <exception>
#include <functional>
#include <string>

namespace kalvaro::test {

inline std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace kalvaro::test
