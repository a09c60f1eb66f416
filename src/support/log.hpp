#pragma once
// A small process-wide logging facade.
//
// Records carry a level, a "::"-separated target (axiolink::damiao::driver),
// a formatted message and optionally a source location. One sink may be
// registered per process, once; it lives until the process ends. Records
// more verbose than the global maximum level are dropped before they reach
// the sink. Emitting is thread-safe once the sink is registered.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace axiolink::log {

// From least to most verbose.
enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };
// Off lets nothing through; otherwise a level passes when it is not more
// verbose than the filter.
enum class LevelFilter : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

constexpr bool passes(Level level, LevelFilter filter) noexcept {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

struct Metadata {
    Level level;
    std::string_view target;
};

struct Record {
    Metadata metadata;
    std::string_view message;
    std::optional<std::string_view> file;
    std::optional<std::uint32_t> line;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual bool enabled(const Metadata& metadata) const noexcept = 0;
    // Must not throw. Not noexcept all the same: a sink that enters an
    // interpreter may see its thread ended there (pthread_exit at the
    // interpreter's exit), and that unwind has to pass through.
    virtual void log(const Record& record) = 0;
    virtual void flush() noexcept = 0;
};

// Registers the process's sink; a second registration is refused and the
// given sink is dropped.
[[nodiscard]] bool set_sink(std::unique_ptr<Sink> sink) noexcept;
bool has_sink() noexcept;

void set_max_level(LevelFilter filter) noexcept;
LevelFilter max_level() noexcept;

// Hands one record to the sink if it passes the maximum level and a sink is
// registered. Never fails; only a forced unwind of the calling thread (see
// Sink::log) passes through.
void emit(const Record& record);

inline void emit(Level level, std::string_view target, std::string_view message,
                 const char* file = nullptr, std::uint32_t line = 0) {
    Record record{{level, target}, message, std::nullopt, std::nullopt};
    if (file != nullptr) {
        record.file = file;
        record.line = line;
    }
    emit(record);
}

}  // namespace axiolink::log
