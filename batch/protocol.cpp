#include "batch/protocol.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include <unistd.h>

#include "codec/bytes.h"

namespace {

// Messages longer than this are not ours.
constexpr std::uint32_t kMaxMessage = 1 << 24;

std::string Join(const std::vector<std::string>& fields) {
    std::string payload;
    for (const std::string& field : fields) payload.append(field).push_back('\0');
    const auto size = static_cast<std::uint32_t>(payload.size());
    std::string message(4, '\0');
    for (int i = 0; i < 4; ++i) message[static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
    return message + payload;
}

std::vector<std::string> Split(const std::string& payload) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t end; (end = payload.find('\0', start)) != std::string::npos; start = end + 1)
        fields.push_back(payload.substr(start, end - start));
    return fields;
}

template <class Number>
bool ToNumber(const std::string& text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string Totals(const std::optional<ops::SkeletonTotals>& totals) {
    if (!totals) return "-";
    char text[160];
    std::snprintf(text, sizeof text, "%lld %lld %lld %lld ", static_cast<long long>(totals->skeletons),
                  static_cast<long long>(totals->branches), static_cast<long long>(totals->junctions),
                  static_cast<long long>(totals->end_points));
    char length[32];
    const auto written = std::to_chars(length, length + sizeof length, totals->total_length);
    return text + std::string(length, written.ptr) + " " + std::to_string(totals->pixels_per_metre);
}

bool ReadTotals(const std::string& text, std::optional<ops::SkeletonTotals>& totals) {
    if (text == "-") return true;
    std::vector<std::string> words;
    for (std::size_t start = 0;;) {
        const std::size_t space = text.find(' ', start);
        words.push_back(text.substr(start, space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }
    ops::SkeletonTotals read;
    if (words.size() != 6 || !ToNumber(words[0], read.skeletons) || !ToNumber(words[1], read.branches) ||
        !ToNumber(words[2], read.junctions) || !ToNumber(words[3], read.end_points) ||
        !ToNumber(words[4], read.total_length) || !ToNumber(words[5], read.pixels_per_metre))
        return false;
    totals = read;
    return true;
}

}  // namespace

const char* NameOf(Measures measures) {
    switch (measures) {
    case Measures::kNone: break;
    case Measures::kThinned: return "C";
    case Measures::kInput: return "input";
    }
    return "none";
}

std::optional<Measures> MeasuresNamed(const std::string& name) {
    for (const Measures measures : {Measures::kNone, Measures::kThinned, Measures::kInput})
        if (name == NameOf(measures)) return measures;
    return std::nullopt;
}

std::string VectorNames(const VectorFormats& formats) {
    std::string names;
    for (const codec::VectorFormat format : formats) {
        if (!names.empty()) names += ',';
        names += codec::NameOf(format);
    }
    return names.empty() ? "none" : names;
}

std::optional<VectorFormats> VectorFormatsNamed(const std::string& names) {
    if (names == "none") return VectorFormats{};
    VectorFormats named;
    for (std::size_t start = 0;;) {
        const std::size_t comma = names.find(',', start);
        const std::optional<codec::VectorFormat> format =
            codec::VectorFormatNamed(std::string_view(names).substr(start, comma - start));
        if (!format) return std::nullopt;
        named = Joined(named, {*format});
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return named;
}

VectorFormats Joined(const VectorFormats& a, const VectorFormats& b) {
    VectorFormats both;
    for (const codec::VectorFormat format : codec::kVectorFormats)
        if (std::find(a.begin(), a.end(), format) != a.end() || std::find(b.begin(), b.end(), format) != b.end())
            both.push_back(format);
    return both;
}

std::string EncodeRequest(const PictureRequest& request) {
    return Join({"picture", request.input, request.folder, std::to_string(request.page), request.stages.Letters(),
                 codec::NameOf(request.format), NameOf(request.measures), VectorNames(request.vectors),
                 codec::ShortestNumber(request.simplify), ops::TextOf(request.settings.gray),
                 request.settings.threshold.Text(), request.settings.thin.Text()});
}

std::optional<PictureRequest> DecodeRequest(const std::string& message) {
    const std::vector<std::string> fields = Split(message);
    PictureRequest request;
    if (fields.size() != 12 || fields[0] != "picture" || !ToNumber(fields[3], request.page) ||
        !ToNumber(fields[8], request.simplify) || !(request.simplify >= 0))
        return std::nullopt;
    request.input = fields[1];
    request.folder = fields[2];
    const std::optional<ops::StageSet> stages = ops::StageSet::OfLetters(fields[4]);
    const std::optional<codec::OutputFormat> format = codec::OutputFormatNamed(fields[5]);
    const std::optional<Measures> measures = MeasuresNamed(fields[6]);
    const std::optional<VectorFormats> vectors = VectorFormatsNamed(fields[7]);
    // Only a picture measured as it is keeps no stage.
    if (!stages || !format || !measures || !vectors || stages->empty() != (*measures == Measures::kInput))
        return std::nullopt;
    request.stages = *stages;
    request.format = *format;
    request.measures = *measures;
    request.vectors = *vectors;
    const std::optional<ops::GraySource> gray = ops::GraySourceOfText(fields[9]);
    const std::optional<ops::Threshold> threshold = ops::Threshold::OfText(fields[10]);
    const std::optional<ops::ThinIterations> thin = ops::ThinIterations::OfText(fields[11]);
    if (!gray || !threshold || !thin) return std::nullopt;
    request.settings = {*gray, *threshold, *thin};
    return request;
}

std::string EncodeReply(const PictureReply& reply) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", reply.seconds);
    if (!reply.done) return Join({"failed", seconds, reply.message});
    std::vector<std::string> fields{"done", seconds, std::to_string(reply.width), std::to_string(reply.height),
                                    Totals(reply.totals), std::to_string(reply.level)};
    fields.insert(fields.end(), reply.files.begin(), reply.files.end());
    return Join(fields);
}

std::optional<PictureReply> DecodeReply(const std::string& message) {
    const std::vector<std::string> fields = Split(message);
    PictureReply reply;
    if (fields.size() < 2 || !ToNumber(fields[1], reply.seconds)) return std::nullopt;
    if (fields.size() == 3 && fields[0] == "failed") {
        reply.message = fields[2];
        return reply;
    }
    if (fields.size() < 6 || fields[0] != "done" || !ToNumber(fields[2], reply.width) ||
        !ToNumber(fields[3], reply.height) || !ReadTotals(fields[4], reply.totals) || !ToNumber(fields[5], reply.level))
        return std::nullopt;
    reply.done = true;
    reply.files.assign(fields.begin() + 6, fields.end());
    return reply;
}

std::optional<std::string> MessageBuffer::Next() {
    if (broken_ || bytes_.size() < 4) return std::nullopt;
    const std::uint32_t size = codec::Le32(reinterpret_cast<const std::uint8_t*>(bytes_.data()));
    if (size > kMaxMessage) {
        broken_ = true;
        bytes_.clear();
        return std::nullopt;
    }
    if (bytes_.size() < 4 + std::size_t{size}) return std::nullopt;
    std::string message = bytes_.substr(4, size);
    bytes_.erase(0, 4 + std::size_t{size});
    return message;
}

bool WriteMessage(int fd, const std::string& message) {
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t wrote = ::write(fd, message.data() + done, message.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::optional<std::string> ReadMessage(int fd) {
    const auto readFully = [fd](char* into, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(fd, into + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    };
    std::uint8_t length[4];
    if (!readFully(reinterpret_cast<char*>(length), 4)) return std::nullopt;
    const std::uint32_t size = codec::Le32(length);
    if (size > kMaxMessage) return std::nullopt;
    std::string message(size, '\0');
    if (!readFully(message.data(), size)) return std::nullopt;
    return message;
}
