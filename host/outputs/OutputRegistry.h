// The kinds of output the programs can write, in one list. Each kind is declared by its own
// unit (its option, its name under -o, what it needs of the run, how it is made: Output.h);
// this list is the only place that names them all. The order is the order in which options
// are listed, outputs are made and published, and the summary names them.
//
// A new output: its unit, and one line in OutputRegistry.cpp.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/outputs/Output.h"

namespace n95::host {

// Every kind, in the registry's order.
std::span<const TOutputKind* const> OutputKinds();

// The position of the kind named `name` in OutputKinds(); the registry's size when there is
// none (a caller's slip: every name a program uses is in the list).
std::size_t OutputKindIndex(std::string_view name);

// A path for each kind of output, by the kind's name; an empty path means none.
class TOutputPaths {
public:
    TOutputPaths() : Paths(OutputKinds().size()) {}

    // The path of the kind `name` (which must be in the registry).
    std::string& operator[](std::string_view name) { return Paths.at(OutputKindIndex(name)); }
    const std::string& operator[](std::string_view name) const {
        return Paths.at(OutputKindIndex(name));
    }
    // The path of the kind at `index` in the registry.
    std::string& At(std::size_t index) { return Paths.at(index); }
    const std::string& At(std::size_t index) const { return Paths.at(index); }
    std::size_t Size() const { return Paths.size(); }

private:
    std::vector<std::string> Paths;
};

}  // namespace n95::host
