// The stages of the chain and sets of them, the one vocabulary for every
// part that names a stage: the window's stage files, the kept stages of a
// many-pictures run, the stream's outputs and the records of finished
// pictures.
//
//   A  kFiltered   the median filter's gray picture
//   B  kBinarized  black and white
//   C  kThinned    the strokes thinned to lines
//   D  kLabeled    the labeled picture
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ops {

enum class Stage : std::uint8_t { kFiltered, kBinarized, kThinned, kLabeled };

inline constexpr Stage kAllStages[] = {Stage::kFiltered, Stage::kBinarized, Stage::kThinned, Stage::kLabeled};

// 'A' to 'D'.
constexpr char LetterOf(Stage stage) { return static_cast<char>('A' + static_cast<int>(stage)); }

// The stage of a letter 'A' to 'D' (upper case only); nothing for any other.
constexpr std::optional<Stage> StageOfLetter(char letter) {
    if (letter < 'A' || letter > 'D') return std::nullopt;
    return static_cast<Stage>(letter - 'A');
}

// A set of stages, visited in the chain's order.
class StageSet {
public:
    constexpr StageSet() = default;
    constexpr StageSet(Stage stage) : bits_(Bit(stage)) {}  // NOLINT: a stage is a set of one

    static constexpr StageSet All() { return StageSet(0xF); }
    // The set whose stages have their bit (1 << stage) set in `bits`; for
    // going through every set.
    static constexpr StageSet OfBits(unsigned bits) { return StageSet(bits & 0xF); }

    constexpr bool Has(Stage stage) const { return (bits_ & Bit(stage)) != 0; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr int size() const { return __builtin_popcount(bits_); }
    // The last stage of the chain in the set; the chain runs up to it and no
    // further. Only for a set that is not empty.
    constexpr Stage Last() const { return static_cast<Stage>(31 - __builtin_clz(bits_)); }
    // Whether the chain reaches the stage on its way to Last().
    constexpr bool Reaches(Stage stage) const { return !empty() && Last() >= stage; }

    constexpr StageSet operator|(StageSet other) const { return StageSet(bits_ | other.bits_); }
    constexpr StageSet& operator|=(StageSet other) { return *this = *this | other; }
    constexpr StageSet operator-(StageSet other) const { return StageSet(bits_ & ~other.bits_); }
    friend constexpr bool operator==(StageSet, StageSet) = default;

    // The letters in order: "ABCD", "C", "" for none.
    std::string Letters() const {
        std::string letters;
        for (const Stage stage : kAllStages)
            if (Has(stage)) letters += LetterOf(stage);
        return letters;
    }
    // The set of the letters, each 'A' to 'D' at most once and in order, as
    // Letters() writes them; nothing for anything else.
    static std::optional<StageSet> OfLetters(std::string_view letters) {
        StageSet set;
        for (const char letter : letters) {
            const std::optional<Stage> stage = StageOfLetter(letter);
            if (!stage || (!set.empty() && set.Last() >= *stage)) return std::nullopt;
            set |= *stage;
        }
        return set;
    }

private:
    constexpr explicit StageSet(unsigned bits) : bits_(bits) {}
    static constexpr unsigned Bit(Stage stage) { return 1u << static_cast<unsigned>(stage); }
    unsigned bits_ = 0;
};

inline constexpr StageSet kStageA{Stage::kFiltered};
inline constexpr StageSet kStageB{Stage::kBinarized};
inline constexpr StageSet kStageC{Stage::kThinned};
inline constexpr StageSet kStageD{Stage::kLabeled};

}  // namespace ops
