// The input/output error of the frame log: names the file and the system error.
#pragma once

#include <stdexcept>
#include <string>

class EInOutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
