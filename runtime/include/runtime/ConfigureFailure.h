#pragma once
// The exception of configuration loading: a file that cannot be opened, or a value refused.

#include <stdexcept>
#include <string>

class CConfigureFailure : public std::runtime_error {
public:
    explicit CConfigureFailure(const std::string& message) : std::runtime_error(message) {}
};
