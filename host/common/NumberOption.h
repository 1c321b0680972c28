// The check of every floating-point option of n95host and n95sim: a finite number within a
// range. CLI::Range alone lets NaN through (every comparison with it is false), and "inf"
// or "1e999" parse as infinities; a NaN wait never ends and a NaN position writes garbage.
//
// Only the programs' own folders include this header: it pulls in CLI11.
#pragma once

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace n95::host {

// A validator that accepts a decimal (or hexadecimal) number, finite, from `min` to `max`;
// `min` itself only when `minIncluded`. Its message names what was given and what is
// accepted; CLI11 puts the option's name before it.
inline CLI::Validator FiniteRange(double min, double max, bool minIncluded = true) {
    const auto text = [](double value) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", value);
        return std::string(buffer);
    };
    const std::string range = (minIncluded ? "[" : "(") + text(min) + " .. " + text(max) + "]";
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double value = std::strtod(text.c_str(), &end);
            if (text.empty() || end == text.c_str() || *end != '\0')
                return text + " is not a number";
            // An underflow (1e-400) reads as the nearest value, 0; an overflow is an infinity.
            if (!std::isfinite(value) || (errno == ERANGE && std::fabs(value) > 1.0))
                return text + " is not a finite number in " + range;
            if (value < min || value > max || (!minIncluded && value == min))
                return text + " is outside " + range;
            return std::string();
        },
        "NUMBER in " + range, "FiniteRange");
}

}  // namespace n95::host
