// Core failure type: every precondition the core checks raises an Error whose
// what() is the exact user-facing message.  The binding maps it to ValueError.
#pragma once

#include <stdexcept>
#include <string>

namespace lumi {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& msg) : std::runtime_error(msg) {}
    explicit Error(const char* msg) : std::runtime_error(msg) {}
};

}  // namespace lumi
