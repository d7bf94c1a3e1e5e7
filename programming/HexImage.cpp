#include "HexImage.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>

namespace ktr {

namespace {

constexpr uint32_t kFillMultiplier = 134775813;
constexpr uint32_t kFillIncrement = 1;

constexpr uint8_t kRecordStart = ':';
constexpr size_t kHeaderDigits = 8; // Count(2) Address(4) Type(2)
constexpr size_t kChecksumDigits = 2;
constexpr int kMaxRecordCount = 255;

constexpr int kTypeData = 0x00;
constexpr int kTypeEndOfFile = 0x01;
constexpr int kTypeExtendedSegment = 0x02;
constexpr int kTypeExtendedLinear = 0x04;
constexpr int kAddressRecordCount = 2;

// So far below zero that a digit pair with any bad character still sums negative: records
// OR their values together and test the sign once.
constexpr int16_t kBadDigit = -256;

constexpr std::array<int16_t, 256> MakeDigitTable() {
    std::array<int16_t, 256> table{};
    for (auto& value : table)
        value = kBadDigit;
    for (int c = '0'; c <= '9'; ++c)
        table[c] = int16_t(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] = int16_t(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] = int16_t(c - 'a' + 10);
    return table;
}
constexpr std::array<int16_t, 256> kDigitTable = MakeDigitTable();

uint32_t NextSeed(uint32_t seed) {
    return seed * kFillMultiplier + kFillIncrement;
}

// The seed after `steps` draws, by composing the affine step with itself: a hole of gigabytes
// (or a file refused as too large) advances the generator without drawing every value.
uint32_t JumpSeed(uint32_t seed, uint64_t steps) {
    uint32_t stepMul = kFillMultiplier, stepAdd = kFillIncrement;
    uint32_t mul = 1, add = 0;
    for (; steps != 0; steps >>= 1) {
        if (steps & 1) {
            mul *= stepMul;
            add = add * stepMul + stepAdd;
        }
        stepAdd = (stepMul + 1) * stepAdd;
        stepMul *= stepMul;
    }
    return mul * seed + add;
}

void WriteFill(uint8_t* out, uint64_t count, uint32_t& seed) {
    for (uint64_t i = 0; i < count; ++i) {
        seed = NextSeed(seed);
        out[i] = uint8_t(seed >> 24);
    }
}

// Disjoint half-open address ranges; claiming a range reports the parts not yet held.
class SpanSet {
public:
    template <class OnGap> void Claim(uint64_t start, uint64_t end, OnGap&& onGap) {
        auto it = spans_.upper_bound(start);
        if (it != spans_.begin() && std::prev(it)->second >= start) --it;
        uint64_t covered = start, mergedStart = start, mergedEnd = end;
        while (it != spans_.end() && it->first <= end) {
            if (it->first > covered) onGap(covered, it->first);
            covered = std::max(covered, it->second);
            mergedStart = std::min(mergedStart, it->first);
            mergedEnd = std::max(mergedEnd, it->second);
            it = spans_.erase(it);
        }
        if (covered < end) onGap(covered, end);
        spans_.emplace(mergedStart, mergedEnd);
    }

private:
    std::map<uint64_t, uint64_t> spans_;
};

// Places data records and their hole fill. While every record starts at or beyond the write
// position, fill lands only above all record bytes and is written at once. The first record
// below the write position switches to deferred fill: runs are kept and resolved at the end,
// latest first, into bytes that no record and no later run holds. That keeps record bytes
// safe and costs each image byte one fill write, however often a hostile file refills it.
class ImageBuilder {
public:
    ImageBuilder(std::vector<uint8_t>& image, uint64_t maxSize, uint32_t seed)
        : image_(image), maxSize_(maxSize), seed_(seed) {}

    uint32_t Seed() const { return seed_; }
    bool TooLarge() const { return tooLarge_; }
    uint64_t WantedEnd() const { return wantedEnd_; }

    void PlaceData(uint64_t address, const uint8_t* bytes, size_t count) {
        uint64_t draws = 0;
        if (address >= position_) {
            draws = address - position_ + 1;
        } else if (count == 0) {
            return;
        }
        const uint64_t recordEnd = address + std::max<uint64_t>(count, 1);
        const uint64_t newEnd = std::max<uint64_t>(image_.size(), recordEnd);
        wantedEnd_ = std::max(wantedEnd_, newEnd);
        if (newEnd > maxSize_ && !tooLarge_) {
            tooLarge_ = true;
            std::vector<uint8_t>().swap(image_);
            runs_ = {};
            recordSpans_ = {};
        }
        if (tooLarge_) {
            seed_ = JumpSeed(seed_, draws);
            position_ = recordEnd;
            return;
        }
        image_.resize(newEnd);
        if (draws == 0) {
            deferred_ = true;
        } else if (deferred_) {
            runs_.push_back({position_, address + 1, seed_});
            seed_ = JumpSeed(seed_, draws);
        } else {
            WriteFill(image_.data() + position_, draws, seed_);
        }
        if (count != 0) {
            std::memcpy(image_.data() + address, bytes, count);
            if (!recordSpans_.empty() && recordSpans_.back().End == address)
                recordSpans_.back().End = recordEnd;
            else
                recordSpans_.push_back({address, recordEnd});
        }
        position_ = recordEnd;
    }

    void DefinedSpans(std::vector<ByteSpan>& out) const {
        out.clear();
        std::vector<Span> spans = recordSpans_;
        std::sort(spans.begin(), spans.end(),
                  [](const Span& a, const Span& b) { return a.Start < b.Start; });
        for (const Span& span : spans) {
            if (!out.empty() && span.Start <= out.back().End)
                out.back().End = std::max(out.back().End, span.End);
            else
                out.push_back({span.Start, span.End});
        }
    }

    void ResolveDeferredFill() {
        if (!deferred_ || tooLarge_) return;
        SpanSet held;
        for (const Span& span : recordSpans_)
            held.Claim(span.Start, span.End, [](auto, auto) {});
        for (auto run = runs_.rbegin(); run != runs_.rend(); ++run) {
            held.Claim(run->Start, run->End, [&](uint64_t gapStart, uint64_t gapEnd) {
                uint32_t seed = JumpSeed(run->Seed, gapStart - run->Start);
                WriteFill(image_.data() + gapStart, gapEnd - gapStart, seed);
            });
        }
    }

private:
    struct Span {
        uint64_t Start, End;
    };
    struct FillRun {
        uint64_t Start, End; // fill values go to [Start, End)
        uint32_t Seed;       // the seed before the first of them
    };

    std::vector<uint8_t>& image_;
    const uint64_t maxSize_;
    uint32_t seed_;
    uint64_t position_ = 0; // the write position: where the next hole starts
    bool deferred_ = false;
    bool tooLarge_ = false;
    uint64_t wantedEnd_ = 0;
    std::vector<FillRun> runs_;
    std::vector<Span> recordSpans_; // contiguous records merge, so a plain file keeps a few
};

} // namespace

uint8_t FillRandom(FillRandomState& state) {
    state.Seed = NextSeed(state.Seed);
    return uint8_t(state.Seed >> 24);
}

int HexDigitValue(uint8_t c) {
    return kDigitTable[c];
}

int ReadHexByte(const uint8_t* digits) {
    return kDigitTable[digits[0]] * 16 + kDigitTable[digits[1]];
}

int ReadHexWord(const uint8_t* digits) {
    const int high = ReadHexByte(digits), low = ReadHexByte(digits + 2);
    return (high | low) < 0 ? -1 : high << 8 | low;
}

const uint8_t* SkipToRecordStart(const uint8_t* cursor, const uint8_t* end) {
    while (cursor < end && *cursor != kRecordStart)
        ++cursor;
    return end - cursor > 1 ? cursor + 1 : nullptr;
}

HexResult ReadHexImage(const uint8_t* text, size_t size, std::vector<uint8_t>& image,
                       uint64_t maxImageSize, FillRandomState& fill,
                       std::vector<ByteSpan>* defined) {
    image.clear();
    if (defined) defined->clear();
    if (size == 0) return {HexOutcome::Empty};
    // Plain files hold a little under half a byte of image per character of text.
    image.reserve(size_t(std::min<uint64_t>(maxImageSize, size / 2)));

    const uint8_t* const end = text + size;
    ImageBuilder builder(image, maxImageSize, fill.Seed);
    uint64_t base = 0;
    uint8_t bytes[kMaxRecordCount];
    const uint8_t* badRecord = nullptr;
    bool endOfFile = false;

    for (const uint8_t* cursor = text; !endOfFile;) {
        const uint8_t* record = SkipToRecordStart(cursor, end);
        if (record == nullptr) break;
        if (size_t(end - record) < kHeaderDigits) {
            badRecord = record;
            break;
        }
        const int count = ReadHexByte(record);
        const int address = ReadHexWord(record + 2);
        const int type = ReadHexByte(record + 6);
        if ((count | address | type) < 0) {
            badRecord = record;
            break;
        }
        const size_t length = kHeaderDigits + 2 * size_t(count) + kChecksumDigits;
        if (size_t(end - record) < length) {
            endOfFile = type == kTypeEndOfFile;
            if (!endOfFile) badRecord = record;
            break;
        }

        const uint8_t* digits = record + kHeaderDigits;
        int sum = count + (address >> 8) + (address & 0xFF) + type;
        int anyBad = 0;
        for (int i = 0; i < count; ++i, digits += 2) {
            const int value = ReadHexByte(digits);
            anyBad |= value;
            sum += value;
            bytes[i] = uint8_t(value);
        }
        const int checksum = ReadHexByte(digits);
        anyBad |= checksum;
        sum += checksum;
        const bool addressRecord = type == kTypeExtendedSegment || type == kTypeExtendedLinear;
        if (anyBad < 0 || (sum & 0xFF) != 0 || (addressRecord && count != kAddressRecordCount)) {
            badRecord = record;
            break;
        }

        if (type == kTypeData) {
            builder.PlaceData(base + uint64_t(address), bytes, size_t(count));
        } else if (type == kTypeEndOfFile) {
            endOfFile = true;
        } else if (addressRecord) {
            const uint64_t value = uint64_t(bytes[0]) << 8 | bytes[1];
            base = type == kTypeExtendedSegment ? value << 4 : value << 16;
        }
        cursor = record + length;
    }

    fill.Seed = builder.Seed();
    HexResult result;
    if (badRecord != nullptr) {
        result = {HexOutcome::Malformed, 1 + int64_t(std::count(text, badRecord - 1, '\n')), 0};
    } else if (!endOfFile) {
        result = {HexOutcome::NoEndRecord};
    } else if (builder.TooLarge()) {
        result = {HexOutcome::TooLarge, 0, builder.WantedEnd()};
    } else {
        builder.ResolveDeferredFill();
        if (defined) builder.DefinedSpans(*defined);
        return {HexOutcome::Ok};
    }
    std::vector<uint8_t>().swap(image);
    return result;
}

} // namespace ktr
