// SPDX-License-Identifier: MIT
// Reception of the board's telemetry frames: "X" starts a frame, "Z" ends it, and in
// between readings come as a four-character tag, a value and a "Y".
//
// Characters are bytes read as Latin-1, so one byte is one character and every byte value
// is accepted. The receive buffer belongs to the caller (the panel shows it in a text box).
#pragma once

#include "protocol/commands.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace quorvane::protocol {

enum class Reading { Pir, Light, InDoor, OutDoor };

struct ReadingRow {
    Reading reading;
    std::string_view tag;
    std::string_view suffix; // what the panel's label adds to the board's value
    std::string_view name;   // in topics, JSON keys and CSV columns
    std::string_view unit;   // of the board's value, in UTF-8; empty for none
};

// In processing order: every parse hands the readings on in exactly this order.
inline constexpr std::array<ReadingRow, 4> kReadingRows{{
    {Reading::Pir, "Pir:", "", "pir", ""},
    {Reading::Light, "Lig:", "%", "light", "%"},
    {Reading::InDoor, "Tp1:", " Deg", "indoor", "\u00b0C"},
    {Reading::OutDoor, "Tp2:", " Deg", "outdoor", "\u00b0C"},
}};

inline constexpr std::string_view kInitialBuffer = "Text1";

// A board that never sends "X" would otherwise grow the buffer without end. Every parse
// shows the first frame in the buffer, so dropping what comes after the bound changes
// nothing a user can see.
inline constexpr std::size_t kBufferBound = 4096;

// A non-owning reference to whatever receives the readings of a parse.
class ReadingSink {
public:
    template <typename F>
    requires std::is_invocable_v<F &, Reading, std::string_view> &&
        (!std::is_same_v<std::remove_cvref_t<F>, ReadingSink>)
            ReadingSink(F &&f) noexcept // NOLINT: implicit on purpose, like std::function_ref
        : object_(const_cast<void *>(static_cast<const void *>(std::addressof(f)))),
          call_([](void *o, Reading r, std::string_view text) {
              (*static_cast<std::remove_reference_t<F> *>(o))(r, text);
          })
    {
    }

    void operator()(Reading r, std::string_view text) const { call_(object_, r, text); }

private:
    void *object_;
    void (*call_)(void *, Reading, std::string_view);
};

enum class ReceiveResult {
    Cleared,   // "X": the buffer was emptied
    Appended,  // payload was added to the buffer
    Unchanged, // empty piece, or payload dropped because the buffer is at its bound
    Parsed,    // "Z": readings were handed to the sink, the buffer is as it was
};

namespace detail {
ReceiveResult receiveOther(std::string &buffer, std::string_view piece, ReadingSink sink);
}

// Handles one piece read from the line, normally one character. "X" and "Z" count only
// as exact upper-case whole pieces; anything else is appended (up to kBufferBound).
// A single payload character is by far the most common piece, so that path is inline.
inline ReceiveResult receive(std::string &buffer, std::string_view piece, ReadingSink sink)
{
    if (piece.size() == 1 && piece.front() != kFrameStart && piece.front() != kFrameEnd) {
        if (buffer.size() >= kBufferBound)
            return ReceiveResult::Unchanged;
        buffer.push_back(piece.front());
        return ReceiveResult::Appended;
    }
    return detail::receiveOther(buffer, piece, sink);
}

// Hands the sink each reading found in `buffer`, in the order of kReadingRows. A reading
// whose tag is absent, or has no "Y"/"y" after it, is skipped and the others go on.
void extractReadings(std::string_view buffer, ReadingSink sink);

// Whether a value the board sent (without the label's suffix) is a plain decimal number: an
// optional minus, 1 to 15 digits, optionally a point and 1 to 15 more. Such values are exact
// in a double, and go out as numbers wherever readings are passed on.
bool isPlainNumber(std::string_view value);

} // namespace quorvane::protocol
