// Intel HEX text to a flat memory image whose byte n is the content of device address n.
// Plain C++ without Qt, so the fuzz build can take it as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ktr {

// No image the program builds is larger, whatever capacity a device reports: well above any
// device of the family, and small enough that holding an image never exhausts memory.
constexpr uint64_t kMaxImageBytes = 64u << 20;

// The generator of hole-fill bytes. The caller keeps one for the whole program run, starting
// at Seed 0, never reseeds it and passes it to every HEX read: the fill bytes of a file
// therefore depend on how many values earlier reads drew.
struct FillRandomState {
    uint32_t Seed = 0;
};

// seed := seed * 134775813 + 1 (mod 2^32); returns the top 8 bits of the new seed.
uint8_t FillRandom(FillRandomState& state);

// The value 0..15 of a hex digit of either case; a negative value for any other character.
int HexDigitValue(uint8_t c);

// Two digit characters, the first most significant, to 0..255; negative when either
// character is not a hex digit. Reads exactly two bytes at digits.
int ReadHexByte(const uint8_t* digits);

// Four digit characters, the first most significant, to 0..65535; negative when any
// character is not a hex digit. Reads exactly four bytes at digits.
int ReadHexWord(const uint8_t* digits);

// The position just past the next ':' in [cursor, end), or nullptr when there is no ':' or
// the ':' found is the last character of the text (a record can't start there).
const uint8_t* SkipToRecordStart(const uint8_t* cursor, const uint8_t* end);

enum class HexOutcome {
    Ok,          // an end-of-file record was read; image holds the result
    Empty,       // the text is empty
    NoEndRecord, // the text ended before an end-of-file record (a last bare ':' included)
    Malformed,   // Line names the first bad record
    TooLarge,    // the image would exceed maxImageSize
};

// A half-open range [Start, End) of image addresses.
struct ByteSpan {
    uint64_t Start = 0, End = 0;
    bool operator==(const ByteSpan&) const = default;
};

struct HexResult {
    HexOutcome Outcome = HexOutcome::Ok;
    int64_t Line = 0;      // 1 + the number of '\n' before the bad record's ':'; 0 unless Malformed
    uint64_t ImageEnd = 0; // TooLarge: the size the image would have needed, at least
};

// Builds the image from the whole text of a file. Data records (type 00) are placed at
// base + their address, where the base comes from the last extended segment (02, value * 16)
// or extended linear (04, value << 16) address record. Every byte below the image's end that
// no record writes holds a fill value: a data record at or beyond the write position draws
// one value per byte from there up to and including its own address (its first data byte
// replaces the last of them); a record below the write position draws nothing. Fill never
// replaces a byte that a record wrote, whatever the order of the records.
//
// Reading stops at the end-of-file record (01); text after it is not read. Records of other
// types are checked and skipped, as is any text between records. Every record read must have
// hex digits of either case and a correct checksum; an end-of-file record cut short by the end
// of the text still ends the read successfully.
//
// An empty text is Empty; otherwise the first malformed record decides the outcome; otherwise
// a text without an end-of-file record is NoEndRecord; otherwise an image larger than maxImageSize
// is TooLarge, found before anything that large is allocated. image is cleared first and left empty
// unless the outcome is Ok. fill advances by the values drawn for the well-formed data records
// read, whatever the outcome.
//
// With defined, on Ok it receives the bytes that records wrote (not the fill), as sorted,
// disjoint, non-adjacent spans; it is cleared otherwise.
HexResult ReadHexImage(const uint8_t* text, size_t size, std::vector<uint8_t>& image,
                       uint64_t maxImageSize, FillRandomState& fill,
                       std::vector<ByteSpan>* defined = nullptr);

} // namespace ktr
