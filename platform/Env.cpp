#include "platform/Env.h"

#include <atomic>

namespace n95 {

namespace {
std::atomic<Env*> g_current{nullptr};
}  // namespace

Env* CurrentEnv() {
    Env* env = g_current.load(std::memory_order_acquire);
    return env != nullptr ? env : Env::Default();
}

Env* SetCurrentEnv(Env* env) {
    return g_current.exchange(env, std::memory_order_acq_rel);
}

}  // namespace n95
