#include "ops/thinning.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ops {

namespace {

constexpr int kSubPasses = 4;

// The two products of each sub-pass, as which of N, E, S, W take part.
struct SubPassRule {
    bool firstHasWest;    // N*W*S (true) or N*E*S (false)
    bool secondHasNorth;  // N*W*E (true) or S*W*E (false)
};
constexpr SubPassRule kRules[kSubPasses] = {
    {true, true},    // 1: north-west
    {false, true},   // 2: north-east
    {true, false},   // 3: south-west
    {false, false},  // 4: south-east
};

inline bool Foreground(const RowView& picture, int x, int y) { return picture.row(y)[3 * x] == 0; }

void CopyRows(const RowView& from, const RowView& to) {
    for (int y = 0; y < from.height; ++y) std::memcpy(to.row(y), from.row(y), 3 * static_cast<std::size_t>(from.width));
}

}  // namespace

void ThinReference(const RowView& ReadBitmap, const RowView& WriteBitmap) {
    ThinReference(ReadBitmap, WriteBitmap, ThinIterations());
}

bool ThinReference(const RowView& ReadBitmap, const RowView& WriteBitmap, ThinIterations iterations) {
    const int w = ReadBitmap.width;
    const int h = ReadBitmap.height;
    if (ReadBitmap.empty() || w < 3 || h < 3) return false;
    // Neighbour offsets in clockwise order from the north-west.
    constexpr int kDx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
    constexpr int kDy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    bool deleted = false;  // by the iteration last run
    for (int iteration = 0; iterations.full() ? iteration == 0 || deleted : iteration < iterations.count();
         ++iteration) {
        deleted = false;
        for (const SubPassRule& rule : kRules) {
            for (int y = 1; y < h - 1; ++y) {
                for (int x = 1; x < w - 1; ++x) {
                    if (!Foreground(ReadBitmap, x, y)) continue;
                    bool p[9];
                    for (int k = 0; k < 8; ++k) p[k] = Foreground(ReadBitmap, x + kDx[k], y + kDy[k]);
                    p[8] = p[0];
                    int neighbours = 0, transitions = 0;
                    for (int k = 0; k < 8; ++k) {
                        neighbours += p[k];
                        transitions += !p[k] && p[k + 1];
                    }
                    const bool n = p[1], e = p[3], s = p[5], wst = p[7];
                    const bool first = rule.firstHasWest ? (n && wst && s) : (n && e && s);
                    const bool second = rule.secondHasNorth ? (n && wst && e) : (s && wst && e);
                    if (neighbours >= 2 && neighbours <= 6 && transitions == 1 && !first && !second) {
                        std::uint8_t* pixel = WriteBitmap.row(y) + 3 * x;
                        pixel[0] = pixel[1] = pixel[2] = 255;
                        deleted = true;
                    }
                }
            }
            CopyRows(WriteBitmap, ReadBitmap);
        }
    }
    return deleted;
}

// The fast form. The foreground is one bit stream for the whole picture:
// pixel (x, y) is bit p = y * S + x, bit p % 64 of word p / 64, where the
// row stride S is W itself for narrow pictures (rows end to end, nothing
// spent between them) and W rounded up to whole words from 512 pixels
// across (at most an eighth more, and the rows above and below are then
// whole words away). Bits W..S-1 of a row are 0. The neighbours of a word
// are 64-bit windows of the stream at offsets -S-1 .. S+1, each two words
// and a funnel shift. A bit in column 0 or W-1 gets a neighbour from the
// next or previous row that way, but those columns are never candidates,
// and their own neighbours are right.
namespace {

using Word = std::uint64_t;

constexpr int kAlignedWidth = 512;

// Folds one more flag word into "at least one" and "at least two" of the
// flags seen so far, bit by bit.
inline void Tally(Word v, Word& one, Word& two) {
    two |= one & v;
    one |= v;
}

// The 64 bits of the stream starting `shift` bits into word j: (j, j+1).
inline Word Window(const Word* plane, std::ptrdiff_t j, int shift) {
    return (plane[j] >> shift) | ((plane[j + 1] << 1) << (63 - shift));
}

// Where a window starts relative to bit 0 of word i: `shift` bits into word
// i + word.
struct Offset {
    std::ptrdiff_t word;
    int shift;
};
inline Offset At(std::int64_t bits) { return {static_cast<std::ptrdiff_t>(bits >> 6), static_cast<int>(bits & 63)}; }

// The neighbours P0..P7 of bit 0 of a word, in stream bits.
inline void NeighbourOffsets(std::int64_t stride, Offset* off) {
    const std::int64_t delta[8] = {-stride - 1, -stride, -stride + 1, 1, stride + 1, stride, stride - 1, -1};
    for (int k = 0; k < 8; ++k) off[k] = At(delta[k]);
}

// The pixels of `candidates` (a subset of word i) that the sub-pass deletes.
// With whole-word rows the shifts are known here: 63 for the west column,
// 0 for the middle, 1 for the east.
// `p` holds the neighbours P0..P7 of each bit of the word, and P0 again.
inline Word Decide(const Word* p, Word candidates, const SubPassRule& rule) {
    Word fg1 = 0, fg2 = 0, bg1 = 0, bg2 = 0, t1 = 0, t2 = 0;
    for (int k = 0; k < 8; ++k) {
        Tally(p[k], fg1, fg2);
        Tally(~p[k], bg1, bg2);
        Tally(~p[k] & p[k + 1], t1, t2);
    }
    const Word n = p[1], e = p[3], s = p[5], w = p[7];
    const Word first = rule.firstHasWest ? (n & w & s) : (n & e & s);
    const Word second = rule.secondHasNorth ? (n & w & e) : (s & w & e);
    // At least two foreground and two background neighbours (2..6), exactly
    // one background-to-foreground step, both products 0.
    return candidates & fg2 & bg2 & t1 & ~t2 & ~first & ~second;
}

template <bool kAligned>
inline Word Deletions(const Word* plane, std::ptrdiff_t i, const Offset* off, Word candidates,
                      const SubPassRule& rule) {
    constexpr int kAlignedShift[8] = {63, 0, 1, 1, 1, 0, 63, 63};
    Word p[9];
    for (int k = 0; k < 8; ++k) p[k] = Window(plane, i + off[k].word, kAligned ? kAlignedShift[k] : off[k].shift);
    p[8] = p[0];
    return Decide(p, candidates, rule);
}

// One byte per pixel: 1 where the blue byte is 0.
OPS_WIDE_CLONES void MarkForeground(const std::uint8_t* pixels, std::uint8_t* flags, int width) {
    for (int x = 0; x < width; ++x) flags[x] = pixels[3 * x] == 0;
}

// Packs 64 flag bytes (0 or 1) into a word, byte j to bit j. Multiplying
// eight flag bytes by 0x0102040810204080 gathers them into the top byte.
inline Word PackFlags(const std::uint8_t* flags) {
    Word word = 0;
    for (int k = 0; k < 8; ++k) {
        if constexpr (std::endian::native == std::endian::little) {
            std::uint64_t eight;
            std::memcpy(&eight, flags + 8 * k, 8);
            word |= ((eight * 0x0102040810204080ull) >> 56) << (8 * k);
        } else {
            for (int j = 0; j < 8; ++j) word |= Word{flags[8 * k + j]} << (8 * k + j);
        }
    }
    return word;
}

// Deletions found but not yet cleared from the plane. A sub-pass works in
// place in stream order and word i reads back to word i + reach (reach < 0),
// so a word's deletions wait until no later word reads it as it stood: at
// most -reach words are pending besides the newest.
class Pending {
public:
    explicit Pending(std::ptrdiff_t reach) : entries_(static_cast<std::size_t>(1 - reach)) {}
    void Push(std::ptrdiff_t word, Word bits) {
        entries_[tail_] = {word, bits};
        tail_ = tail_ + 1 == entries_.size() ? 0 : tail_ + 1;
        ++size_;
    }
    // Clears the pending deletions of the words before `limit`.
    void ApplyBefore(std::ptrdiff_t limit, Word* plane) {
        while (size_ != 0 && entries_[head_].word < limit) {
            plane[entries_[head_].word] &= ~entries_[head_].bits;
            head_ = head_ + 1 == entries_.size() ? 0 : head_ + 1;
            --size_;
        }
    }

private:
    struct Entry {
        std::ptrdiff_t word;
        Word bits;
    };
    std::vector<Entry> entries_;
    std::size_t head_ = 0, tail_ = 0, size_ = 0;
};

// The bit plane of a picture and what the sub-passes need to know about it.
struct Plane {
    int width = 0, height = 0;
    std::int64_t stride = 0;   // S, in bits
    std::ptrdiff_t words = 0;  // ceil(S * H / 64)
    std::vector<Word> store;   // the words with two zero words either side
    Word* bits() { return store.data() + 2; }
    const Word* bits() const { return store.data() + 2; }
};

Plane Pack(const RowView& picture) {
    Plane plane;
    const int w = picture.width, h = picture.height;
    plane.width = w;
    plane.height = h;
    plane.stride = w >= kAlignedWidth ? (std::int64_t{w} + 63) / 64 * 64 : w;
    plane.words = static_cast<std::ptrdiff_t>((plane.stride * h + 63) / 64);
    plane.store.assign(static_cast<std::size_t>(plane.words) + 4, 0);
    Word* out = plane.bits();
    // A bounded chunk of flag bytes at a time, whole words packed as they fill.
    constexpr int kChunk = 4096;
    std::uint8_t flags[kChunk + 128];
    int filled = 0;
    auto flush = [&] {
        int used = 0;
        for (; filled - used >= 64; used += 64) *out++ = PackFlags(flags + used);
        std::memmove(flags, flags + used, filled - used);
        filled -= used;
    };
    const int rowPad = static_cast<int>(plane.stride - w);  // < 64
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* pixels = picture.row(y);
        for (int x = 0; x < w;) {
            const int n = std::min(kChunk, w - x);
            MarkForeground(pixels + 3 * x, flags + filled, n);
            x += n;
            filled += n;
            flush();
        }
        std::memset(flags + filled, 0, rowPad);
        filled += rowPad;
        flush();
    }
    if (filled > 0) {
        std::memset(flags + filled, 0, 64 - filled);
        *out = PackFlags(flags);
    }
    return plane;
}

// All the sub-passes, on the plane in place; whether the last iteration
// deleted a pixel.
template <bool kAligned>
bool SubPasses(Plane& picture, ThinIterations iterations) {
    const int w = picture.width, h = picture.height;
    const std::int64_t stride = picture.stride;
    const std::ptrdiff_t words = picture.words;
    Word* plane = picture.bits();

    // Rows 1..h-2 may change: words firstWord..lastWord, the bits before
    // stream position S in the first and from (h-1) S on in the last masked.
    const std::ptrdiff_t firstWord = static_cast<std::ptrdiff_t>(stride / 64);
    const std::ptrdiff_t lastWord = static_cast<std::ptrdiff_t>(((h - 1) * stride - 1) / 64);
    const Word firstMask = ~Word{0} << (stride % 64);
    const int lastBits = static_cast<int>((h - 1) * stride - 64 * std::int64_t{lastWord});  // 1..64
    const Word lastMask = lastBits == 64 ? ~Word{0} : (Word{1} << lastBits) - 1;
    // Columns 0 and w-1 never change. The column of bit 0 of word i is its
    // phase (64 i) mod S; bit k has column (phase + k) mod S. Narrow
    // pictures hold several rows in a word: their masks come from a table.
    std::vector<Word> narrowMasks(stride < 64 ? stride : 0);
    for (int phase = 0; phase < static_cast<int>(narrowMasks.size()); ++phase) {
        Word m = ~Word{0};
        for (int k = 0; k < 64; ++k)
            if ((phase + k) % w == 0 || (phase + k) % w == w - 1) m &= ~(Word{1} << k);
        narrowMasks[phase] = m;
    }
    auto innerMask = [&](std::int64_t phase) {
        if (stride < 64) return narrowMasks[phase];
        const std::int64_t left = phase == 0 ? 0 : stride - phase;                           // column 0
        const std::int64_t right = phase <= w - 1 ? w - 1 - phase : w - 1 - phase + stride;  // column w-1
        return ~((left < 64 ? Word{1} << left : 0) | (right < 64 ? Word{1} << right : 0));
    };
    // The phase of word 64 g + k is that of word 64 g plus phaseStep[k], mod S.
    std::int64_t phaseStep[64];
    for (int k = 0; k < 64; ++k) phaseStep[k] = (64 * std::int64_t{k}) % stride;

    Offset off[8];
    NeighbourOffsets(stride, off);
    const std::ptrdiff_t reach = off[0].word;  // the lowest word a decision reads, relative to i

    // Which words lost a pixel in each of the last four sub-passes, a bit
    // per word. Word i's deletions depend on stream bits 64 i - S - 1 to
    // 64 i + S + 64, which lie in words i-1..i+1 and the three words around
    // i - S / 64 and around i + (S - 1) / 64 + 1. When none of those changed
    // over the last four sub-passes, word i sees what it saw in the same
    // sub-pass of the previous iteration, where it lost nothing, and is
    // skipped.
    const std::ptrdiff_t groups = (words + 63) / 64;
    std::vector<Word> changed[kSubPasses];
    for (auto& c : changed) c.assign(static_cast<std::size_t>(groups), 0);
    constexpr std::ptrdiff_t kRecentPad = 3;  // the windows below reach two words past the end
    std::vector<Word> recentStore(static_cast<std::size_t>(groups + 2 * kRecentPad), 0);
    Word* recent = recentStore.data() + kRecentPad;
    const std::int64_t aboveCentre = -(stride / 64), belowCentre = (stride - 1) / 64 + 1;
    Offset near[9];
    for (int k = 0; k < 9; ++k) near[k] = At((k % 3 - 1) + (k < 3 ? 0 : k < 6 ? aboveCentre : belowCentre));

    Pending pending(reach);
    const std::ptrdiff_t firstGroup = firstWord / 64, lastGroup = lastWord / 64;
    bool deleted = false;  // by the iteration last run
    for (int pass = 0; iterations.full() ? pass % kSubPasses != 0 || pass == 0 || deleted
                                         : pass < iterations.count() * kSubPasses;
         ++pass) {
        if (pass % kSubPasses == 0) deleted = false;
        const SubPassRule& rule = kRules[pass % kSubPasses];
        Word* changedNow = changed[pass % kSubPasses].data();
        const bool everything = pass < kSubPasses;
        if (!everything) {
            for (std::ptrdiff_t g = 0; g < groups; ++g)
                recent[g] = changed[0][g] | changed[1][g] | changed[2][g] | changed[3][g];
            std::fill_n(changedNow, groups, 0);
        }
        for (std::ptrdiff_t g = firstGroup; g <= lastGroup; ++g) {
            Word active = ~Word{0};
            if (!everything) {
                active = 0;
                for (const Offset& o : near) active |= Window(recent, g + o.word, o.shift);
            }
            if (g == firstGroup) active &= ~Word{0} << (firstWord % 64);
            if (g == lastGroup) active &= ~Word{0} >> (63 - lastWord % 64);
            if (active == 0) continue;
            const std::int64_t basePhase = (64 * 64 * static_cast<std::int64_t>(g)) % stride;
            for (; active != 0; active &= active - 1) {
                const int k = std::countr_zero(active);
                const std::ptrdiff_t i = 64 * g + k;
                if (plane[i] == 0) continue;
                std::int64_t phase = basePhase + phaseStep[k];
                if (phase >= stride) phase -= stride;
                Word candidates = plane[i] & innerMask(phase);
                if (i == firstWord) candidates &= firstMask;
                if (i == lastWord) candidates &= lastMask;
                if (candidates == 0) continue;
                pending.ApplyBefore(i + reach, plane);
                const Word gone = Deletions<kAligned>(plane, i, off, candidates, rule);
                if (gone != 0) {
                    pending.Push(i, gone);
                    changedNow[g] |= Word{1} << k;
                    deleted = true;
                }
            }
        }
        pending.ApplyBefore(words, plane);
    }
    return deleted;
}

}  // namespace

void Thin(const RowView& ReadBitmap, const RowView& WriteBitmap) { Thin(ReadBitmap, WriteBitmap, ThinIterations()); }

bool Thin(const RowView& ReadBitmap, const RowView& WriteBitmap, ThinIterations iterations) {
    const int w = ReadBitmap.width;
    const int h = ReadBitmap.height;
    if (ReadBitmap.empty() || w < 3 || h < 3 || (!iterations.full() && iterations.count() == 0)) return false;
    Plane plane = Pack(ReadBitmap);
    const std::vector<Word> start = plane.store;
    const bool deleted = plane.stride % 64 == 0 ? SubPasses<true>(plane, iterations) : SubPasses<false>(plane, iterations);

    // Deleted pixels turn white; every other byte stays. The two pictures
    // started equal, so writing each deletion into both leaves ReadBitmap a
    // copy of WriteBitmap without copying the whole picture.
    const Word* before = start.data() + 2;
    const Word* after = plane.bits();
    const std::int64_t stride = plane.stride;
    std::int64_t rowOfWord = 0, columnOfWord = 0;  // of bit 0 of word i
    for (std::ptrdiff_t i = 0; i < plane.words; ++i, columnOfWord += 64) {
        while (columnOfWord >= stride) columnOfWord -= stride, ++rowOfWord;
        Word gone = before[i] & ~after[i];
        if (gone == 0) continue;
        std::int64_t y = rowOfWord, x = columnOfWord;
        for (int k = 0; gone != 0; gone &= gone - 1) {
            const int bit = std::countr_zero(gone);
            x += bit - k;
            k = bit;
            while (x >= stride) x -= stride, ++y;
            std::memset(WriteBitmap.row(static_cast<int>(y)) + 3 * x, 255, 3);
            std::memset(ReadBitmap.row(static_cast<int>(y)) + 3 * x, 255, 3);
        }
    }
    return deleted;
}

void PackForegroundRow(const std::uint8_t* level, ThinWord* bits, int width) {
    std::uint8_t flags[64];
    for (int x = 0; x < width; x += 64) {
        const int n = std::min(64, width - x);
        for (int k = 0; k < n; ++k) flags[k] = level[x + k] == 0;
        std::fill(flags + n, flags + 64, std::uint8_t{0});
        *bits++ = PackFlags(flags);
    }
}

// The stream keeps each stage's rows apart: stage s (1..36) holds the rows
// as sub-pass s-1 left them, stage 0 the rows as they went in. At time step
// t stage s makes its row t - s from rows t-s-1 .. t-s+1 of stage s-1, the
// last of which stage s-1 made in the same step; so every decision reads
// the rows as they stood before its sub-pass, and three rows a stage are
// enough. A row word has a zero word either side, so the neighbours of
// its bits are two words and a shift away; the bits past the width are 0,
// which only the never-changing last column reads.
ThinRows::ThinRows(int width, int height) : ThinRows(width, height, kThinningIterations) {}

ThinRows::ThinRows(int width, int height, int iterations)
    : height_(height), words_(ThinRowWords(width)), groups_((words_ + 63) / 64),
      lastStage_(ThinIterations::Count(iterations).count() * kSubPasses),
      passThrough_(width < 3 || height < 3 || lastStage_ == 0) {
    const int stages = passThrough_ ? 1 : lastStage_ + 1;
    rows_.assign(static_cast<std::size_t>(3 * stages) * (words_ + 2), 0);
    if (!passThrough_) {
        changes_.assign(static_cast<std::size_t>(lastStage_ * kChangeRows) * (groups_ + 2), 0);
        active_.assign(static_cast<std::size_t>(groups_) + 2, 0);
    }
    firstMask_ = ~Word{1};
    lastMask_ = ~(Word{1} << ((width - 1) % 64));
    if (words_ == 1) firstMask_ &= lastMask_, lastMask_ = firstMask_;
}

void ThinRows::Push(const ThinWord* row) {
    std::copy_n(row, words_, Row(0, in_));
    if (passThrough_) {
        ready_ = Row(0, in_);
        readyChanged_ = false;
        ++in_;
        return;
    }
    ++in_;
    Step(steps_++);
}

const ThinWord* ThinRows::Next() {
    while (ready_ == nullptr && !passThrough_ && in_ == height_ && steps_ < height_ + lastStage_) Step(steps_++);
    const ThinWord* row = ready_;
    ready_ = nullptr;
    if (row != nullptr) {
        ++out_;
        lastChanged_ = readyChanged_;
    }
    return row;
}

// Row r of the last stage is made at step r + last; the change bits of
// row r of the last four sub-passes were written at steps r + last - 3 to
// r + last, and each sub-pass has made at most 3 rows since: all are still
// in the ring of kChangeRows.
void ThinRows::Step(int t) {
    for (int stage = 1; stage <= lastStage_; ++stage) {
        const int r = t - stage;
        if (r < 0) break;
        if (r >= height_) continue;
        SubPassRow(stage - 1, r);
        if (stage == lastStage_) {
            ready_ = Row(stage, r);
            Word any = 0;
            for (int pass = lastStage_ - kSubPasses; pass < lastStage_; ++pass)
                for (int g = 0; g < groups_; ++g) any |= Changes(pass, r)[g];
            readyChanged_ = any != 0;
        }
    }
}

// Row r of stage pass + 1 from rows r-1 .. r+1 of stage pass.
void ThinRows::SubPassRow(int pass, int r) {
    const Word* here = Row(pass, r);
    Word* out = Row(pass + 1, r);
    Word* changed = Changes(pass, r);
    std::copy_n(here, words_, out);
    std::fill_n(changed, groups_, Word{0});
    if (r == 0 || r == height_ - 1) return;
    const Word* above = Row(pass, r - 1);
    const Word* below = Row(pass, r + 1);
    const SubPassRule& rule = kRules[pass % kSubPasses];

    // The words to visit: all in the first iteration; afterwards those with
    // a changed word beside them, in this row or the next, in the last four
    // sub-passes.
    Word* active = active_.data() + 1;
    if (pass < kSubPasses) {
        std::fill_n(active, groups_, ~Word{0});
    } else {
        for (int g = 0; g < groups_; ++g) {
            Word any = 0;
            for (int q = pass - kSubPasses; q < pass; ++q)
                any |= Changes(q, r - 1)[g] | Changes(q, r)[g] | Changes(q, r + 1)[g];
            active[g] = any;
        }
        Word carry = 0;  // bit 63 of the group before, as it was
        for (int g = 0; g < groups_; ++g) {
            const Word own = active[g];
            active[g] = own | (own << 1) | carry | (own >> 1) | (active[g + 1] << 63);
            carry = own >> 63;
        }
    }

    for (int g = 0; g < groups_; ++g) {
        for (Word visit = active[g]; visit != 0; visit &= visit - 1) {
            const int j = 64 * g + std::countr_zero(visit);
            if (j >= words_) break;
            Word candidates = here[j];
            if (candidates == 0) continue;
            if (j == 0) candidates &= firstMask_;
            if (j == words_ - 1) candidates &= lastMask_;
            Word p[9];
            p[0] = (above[j] << 1) | (above[j - 1] >> 63);  // north-west
            p[1] = above[j];                                // north
            p[2] = (above[j] >> 1) | (above[j + 1] << 63);  // north-east
            p[3] = (here[j] >> 1) | (here[j + 1] << 63);    // east
            p[4] = (below[j] >> 1) | (below[j + 1] << 63);  // south-east
            p[5] = below[j];                                // south
            p[6] = (below[j] << 1) | (below[j - 1] >> 63);  // south-west
            p[7] = (here[j] << 1) | (here[j - 1] >> 63);    // west
            p[8] = p[0];
            const Word gone = Decide(p, candidates, rule);
            if (gone != 0) {
                out[j] &= ~gone;
                changed[g] |= Word{1} << (j % 64);
            }
        }
    }
}

}  // namespace ops
