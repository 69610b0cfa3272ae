#include "batch/worker.h"

#include <charconv>
#include <chrono>
#include <optional>

#include <unistd.h>

#include "core/files.h"
#include "batch/chain.h"
#include "batch/memory.h"
#include "batch/protocol.h"

namespace {

constexpr int kReplies = 3;

}  // namespace

bool IsWorkerInvocation(const std::vector<std::string>& args) { return !args.empty() && args[0] == "--worker"; }

int RunWorker(const std::vector<std::string>& args) {
    std::uint64_t memoryLimit = 0;
    int threads = 0;
    if (args.size() != 3 || std::from_chars(args[1].data(), args[1].data() + args[1].size(), memoryLimit).ec != std::errc() ||
        std::from_chars(args[2].data(), args[2].data() + args[2].size(), threads).ec != std::errc() || threads < 1)
        return 2;
    if (memoryLimit != 0) LimitAddressSpace(memoryLimit);
    KeepFreedMemory();
    while (const std::optional<std::string> message = ReadMessage(0)) {
        const std::optional<PictureRequest> request = DecodeRequest(*message);
        if (!request) return 2;
        const auto start = std::chrono::steady_clock::now();
        PictureReply reply = RunChain(*request, memoryLimit, threads, files::Durability::kFlushedByCaller);
        reply.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        GiveBackAfter(static_cast<std::uint64_t>(reply.width), static_cast<std::uint64_t>(reply.height));
        if (!WriteMessage(kReplies, EncodeReply(reply))) return 1;
    }
    return 0;
}
