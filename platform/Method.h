// A method reference: a code address and the receiver it is called with.
//
// The host's callbacks, the parser's frame handler and the watcher's handler are all
// method references. A reference is "assigned" when its code address is not null; it is
// passed by value as the pair, and the receiver is handed back as the first argument.
#pragma once

template <typename Fn>
struct TMethod {
    Fn Code = nullptr;
    void* Data = nullptr;

    bool Assigned() const { return Code != nullptr; }
};
