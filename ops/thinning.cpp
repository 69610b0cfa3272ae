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
    const int w = ReadBitmap.width;
    const int h = ReadBitmap.height;
    if (ReadBitmap.empty() || w < 3 || h < 3) return;
    // Neighbour offsets in clockwise order from the north-west.
    constexpr int kDx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
    constexpr int kDy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
    for (int iteration = 0; iteration < kThinningIterations; ++iteration) {
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
                    }
                }
            }
            CopyRows(WriteBitmap, ReadBitmap);
        }
    }
}

// The fast form. The foreground of the picture is a bit plane: bit j of word
// i of a row is pixel 64 i + j. Each row carries a zero word on either side,
// so the shifts that bring in the west and east neighbours need no edge test.
// A sub-pass works a row at a time, in place, keeping a copy of the row above
// as it was before the sub-pass.
namespace {

using Word = std::uint64_t;

inline Word West(const Word* r, int i) { return (r[i] << 1) | (r[i - 1] >> 63); }
inline Word East(const Word* r, int i) { return (r[i] >> 1) | (r[i + 1] << 63); }

// Folds one more flag word into "at least one" and "at least two" of the
// flags seen so far, bit by bit.
inline void Tally(Word v, Word& one, Word& two) {
    two |= one & v;
    one |= v;
}

// The pixels of one word of row `here` that the sub-pass deletes.
inline Word Deletions(const Word* above, const Word* here, const Word* below, int i, Word inner,
                      const SubPassRule& rule) {
    const Word candidates = here[i] & inner;
    if (candidates == 0) return 0;
    const Word p[9] = {West(above, i), above[i], East(above, i), East(here, i),
                       East(below, i), below[i], West(below, i), West(here, i),
                       West(above, i)};
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

}  // namespace

void Thin(const RowView& ReadBitmap, const RowView& WriteBitmap) {
    const int w = ReadBitmap.width;
    const int h = ReadBitmap.height;
    if (ReadBitmap.empty() || w < 3 || h < 3) return;
    const int words = (w + 63) / 64;
    const int pitch = words + 2;
    std::vector<Word> plane(static_cast<std::size_t>(pitch) * h, 0);
    auto row = [&](int y) { return plane.data() + static_cast<std::ptrdiff_t>(y) * pitch + 1; };

    std::vector<std::uint8_t> flags(static_cast<std::size_t>(words) * 64, 0);  // past w: always 0
    for (int y = 0; y < h; ++y) {
        MarkForeground(ReadBitmap.row(y), flags.data(), w);
        Word* bits = row(y);
        for (int i = 0; i < words; ++i) bits[i] = PackFlags(flags.data() + 64 * i);
    }
    const std::vector<Word> start = plane;

    // Columns 1..w-2 may change.
    std::vector<Word> inner(words, ~Word{0});
    inner[0] &= ~Word{1};
    const int last = w - 1;
    inner[last >> 6] &= (Word{1} << (last & 63)) - 1;

    // The sub-pass in which each word of each row, and each row, last
    // changed; -1 for never. A word's deletions depend only on the three
    // words around it in rows y-1..y+1: when none of those changed over the
    // last four sub-passes, the word sees what it saw in the same sub-pass
    // of the previous iteration, where it lost nothing, and is skipped.
    std::vector<int> wordChange(static_cast<std::size_t>(h) * words, -1), rowChange(h, -1);
    std::vector<int> nearby(static_cast<std::size_t>(words) + 2, -1);  // with a -1 either side
    std::vector<Word> savedA(pitch, 0), savedB(pitch, 0), deleted(words);
    Word* saved = savedA.data() + 1;
    Word* spare = savedB.data() + 1;

    for (int pass = 0; pass < kThinningIterations * kSubPasses; ++pass) {
        const SubPassRule& rule = kRules[pass % kSubPasses];
        const int settled = pass >= kSubPasses ? pass - kSubPasses : -2;  // skip what changed before this
        const Word* above = row(0);  // row y-1 as it was before this sub-pass
        for (int y = 1; y < h - 1; ++y) {
            Word* here = row(y);
            const Word* below = row(y + 1);
            if (std::max({rowChange[y - 1], rowChange[y], rowChange[y + 1]}) < settled) {
                above = here;
                continue;
            }
            const int* changedAbove = &wordChange[static_cast<std::size_t>(y - 1) * words];
            for (int i = 0; i < words; ++i)
                nearby[i + 1] = std::max({changedAbove[i], changedAbove[words + i], changedAbove[2 * words + i]});
            Word any = 0;
            for (int i = 0; i < words; ++i) {
                const bool quiet = std::max({nearby[i], nearby[i + 1], nearby[i + 2]}) < settled;
                deleted[i] = quiet ? 0 : Deletions(above, here, below, i, inner[i], rule);
                any |= deleted[i];
            }
            if (any == 0) {
                above = here;
                continue;
            }
            std::copy_n(here, words, spare);
            int* changedHere = &wordChange[static_cast<std::size_t>(y) * words];
            for (int i = 0; i < words; ++i) {
                here[i] &= ~deleted[i];
                if (deleted[i] != 0) changedHere[i] = pass;
            }
            std::swap(saved, spare);
            above = saved;
            rowChange[y] = pass;
        }
    }

    // Deleted pixels turn white; every other byte stays. The two pictures
    // started equal, so writing each deletion into both leaves ReadBitmap a
    // copy of WriteBitmap without copying the whole picture.
    for (int y = 1; y < h - 1; ++y) {
        const Word* before = start.data() + static_cast<std::ptrdiff_t>(y) * pitch + 1;
        const Word* after = row(y);
        std::uint8_t* written = WriteBitmap.row(y);
        std::uint8_t* read = ReadBitmap.row(y);
        for (int i = 0; i < words; ++i) {
            for (Word gone = before[i] & ~after[i]; gone != 0; gone &= gone - 1) {
                const int x = 64 * i + std::countr_zero(gone);
                std::memset(written + 3 * x, 255, 3);
                std::memset(read + 3 * x, 255, 3);
            }
        }
    }
}

}  // namespace ops
