#include "support/log.hpp"

#include <atomic>

namespace axiolink::log {
namespace {

// The sink is published once and never freed, so readers need no lock: an
// acquire load either sees nothing or a fully built sink.
std::atomic<Sink*> g_sink{nullptr};
std::atomic<LevelFilter> g_max_level{LevelFilter::Off};

}  // namespace

bool set_sink(std::unique_ptr<Sink> sink) noexcept {
    Sink* expected = nullptr;
    if (!g_sink.compare_exchange_strong(expected, sink.get(), std::memory_order_acq_rel)) {
        return false;
    }
    sink.release();  // owned by the process from now on
    return true;
}

bool has_sink() noexcept {
    return g_sink.load(std::memory_order_acquire) != nullptr;
}

void set_max_level(LevelFilter filter) noexcept {
    g_max_level.store(filter, std::memory_order_relaxed);
}

LevelFilter max_level() noexcept {
    return g_max_level.load(std::memory_order_relaxed);
}

void emit(const Record& record) {
    if (!passes(record.metadata.level, max_level())) {
        return;
    }
    if (Sink* sink = g_sink.load(std::memory_order_acquire)) {
        sink->log(record);
    }
}

}  // namespace axiolink::log
