#pragma once
// The instrument types a link serves; the type selects framing, message index
// and reply checks.

#include <cstdint>

enum TKeskType : std::uint8_t {
    tpKeskPico = 0,
    tpKesk5 = 1,
    tpVolm3 = 2,
    tpBrask = 3,
    tpSelvo = 4,
    tpDarrit = 5,
    tpOrvenLEL = 6,
    tpKesk6 = 7,
    tpKT4Head = 8,
};

// Framed types wrap every message in start and end bytes with byte stuffing.
constexpr bool IsFramedType(TKeskType Type)
{
    return Type == tpBrask || Type == tpSelvo || Type == tpDarrit;
}

// Indexed types carry the message index digit in the fourth character.
constexpr bool IsIndexedType(TKeskType Type)
{
    return Type == tpKesk6 || Type == tpKT4Head;
}
