#include "core/measure.h"

#include <cerrno>
#include <memory>
#include <new>

#include "core/picture.h"
#include "ops/skeleton_stream.h"

namespace {

std::string InFolder(const std::string& folder, const char* leaf) {
    return folder.empty() ? std::string(leaf) : folder + "/" + leaf;
}

}  // namespace

void FailNotTwoLevel(const FileName& name, ops::NotTwoLevel at) {
    throw Exception("Cannot measure " + name.Shown() + ": it is not two-level: the pixel at row " +
                    std::to_string(at.row) + ", column " + std::to_string(at.col) + " is neither black nor white");
}

std::uint32_t MillimetreScale(const codec::Resolution& resolution) {
    // What a BMP file says when nothing was declared: 72 dpi, 2835 pixels a metre.
    constexpr std::uint32_t kUndeclared = 2835;
    if (!resolution.Known() || resolution.x != resolution.y || resolution.x == kUndeclared) return 0;
    return resolution.x;
}

ops::SkeletonMeasures MeasurePictureFile(const FileName& name) {
    TPicture picture;
    picture.LoadFromFile(name);
    ops::SkeletonMeasures measures;
    try {
        measures = ops::MeasureRows(picture.Bitmap().ConstRows());
    } catch (const std::bad_alloc&) {
        throw Exception("Cannot measure " + name.Shown() + ": " + files::Reason(ENOMEM));
    }
    if (measures.not_two_level) FailNotTwoLevel(name, *measures.not_two_level);
    measures.totals.pixels_per_metre = MillimetreScale(picture.Bitmap().Resolution());
    return measures;
}

std::vector<std::string> WriteMeasureTables(const std::string& folder, const ops::SkeletonMeasures& measures,
                                            files::Durability durability) {
    const char* const names[] = {kBranchesTable, kSkeletonsTable};
    std::unique_ptr<files::OutputFile> written[2];
    for (int i = 0; i < 2; ++i) {
        const FileName name(InFolder(folder, names[i]));
        written[i] = std::make_unique<files::OutputFile>(name, durability);
        const auto write = [&](std::string_view part) {
            written[i]->Write(reinterpret_cast<const std::uint8_t*>(part.data()), part.size());
        };
        try {
            if (i == 0)
                ops::WriteBranchesCsv(measures, write);
            else
                ops::WriteSkeletonsCsv(measures, write);
        } catch (const std::bad_alloc&) {
            files::FailWrite(name, files::Reason(ENOMEM));
        }
    }
    for (const std::unique_ptr<files::OutputFile>& file : written) file->Commit();
    return {names[0], names[1]};
}

std::string MeasureSummaryLine(const ops::SkeletonTotals& totals) { return ops::MeasureSummary(totals); }
