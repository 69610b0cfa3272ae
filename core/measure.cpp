#include "core/measure.h"

#include <cerrno>
#include <clocale>
#include <locale.h>
#include <memory>
#include <new>

#include "core/picture.h"

namespace {

// Numbers written as the C locale writes them while it lives, on this
// thread only: the word chain runs in the user's locale, whose decimal
// point may be a comma, and a table must read the same everywhere.
class CNumbers {
public:
    CNumbers() : c_(::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))) {
        if (c_ != static_cast<locale_t>(nullptr)) previous_ = ::uselocale(c_);
    }
    ~CNumbers() {
        if (c_ == static_cast<locale_t>(nullptr)) return;
        ::uselocale(previous_);
        ::freelocale(c_);
    }
    CNumbers(const CNumbers&) = delete;
    CNumbers& operator=(const CNumbers&) = delete;

private:
    locale_t c_;
    locale_t previous_ = static_cast<locale_t>(nullptr);
};

std::string InFolder(const std::string& folder, const char* leaf) {
    return folder.empty() ? std::string(leaf) : folder + "/" + leaf;
}

}  // namespace

void FailNotTwoLevel(const FileName& name, ops::NotTwoLevel at) {
    throw Exception("Cannot measure " + name.Shown() + ": it is not two-level: the pixel at row " +
                    std::to_string(at.row) + ", column " + std::to_string(at.col) + " is neither black nor white");
}

ops::SkeletonMeasures MeasurePictureFile(const FileName& name) {
    TPicture picture;
    picture.LoadFromFile(name);
    ops::SkeletonMeasures measures;
    try {
        measures = ops::MeasureSkeleton(picture.Bitmap().ConstRows());
    } catch (const std::bad_alloc&) {
        throw Exception("Cannot measure " + name.Shown() + ": " + files::Reason(ENOMEM));
    }
    if (measures.not_two_level) FailNotTwoLevel(name, *measures.not_two_level);
    return measures;
}

std::vector<std::string> WriteMeasureTables(const std::string& folder, const ops::SkeletonMeasures& measures,
                                            files::Durability durability) {
    const char* const names[] = {kBranchesTable, kSkeletonsTable};
    std::string texts[2];
    try {
        const CNumbers numbers;
        texts[0] = ops::BranchesCsv(measures);
        texts[1] = ops::SkeletonsCsv(measures);
    } catch (const std::bad_alloc&) {
        files::FailWrite(FileName(InFolder(folder, kBranchesTable)), files::Reason(ENOMEM));
    }
    std::unique_ptr<files::OutputFile> written[2];
    for (int i = 0; i < 2; ++i) {
        written[i] = std::make_unique<files::OutputFile>(FileName(InFolder(folder, names[i])), durability);
        written[i]->Write(reinterpret_cast<const std::uint8_t*>(texts[i].data()), texts[i].size());
    }
    for (const std::unique_ptr<files::OutputFile>& file : written) file->Commit();
    return {names[0], names[1]};
}

std::string MeasureSummaryLine(const ops::SkeletonTotals& totals) {
    const CNumbers numbers;
    return ops::MeasureSummary(totals);
}
