#include "io/ppm_writer.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/atomic_file.h"
#include "base/parallel.h"
#include "base/sample_format.h"

namespace quen_merge {

bool WritePpm16(const char* filename, uint32_t width, uint32_t height,
                const std::function<void(uint32_t, uint16_t*)>& fill_row) {
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n65535\n";
    const size_t row_bytes = 2 * size_t(width) * kFrameChannels;
    const std::unique_ptr<unsigned char[]> rows(new unsigned char[row_bytes * height]);
    // Rows are converted in pieces on every CPU while this thread writes the
    // finished pieces in order, so that converting and writing overlap.
    const size_t pieces = (size_t(height) + kSaveRowsPerPiece - 1) / kSaveRowsPerPiece;
    std::vector<char> finished(pieces, 0);
    std::mutex mutex;
    std::condition_variable piece_finished;
    const auto convert = [&](size_t begin, size_t end) {
        std::vector<uint16_t> samples(row_bytes / 2);
        for (size_t r = begin; r < end; ++r) {
            fill_row(uint32_t(r), samples.data());
            unsigned char* out = rows.get() + row_bytes * r;
            for (size_t i = 0; i < samples.size(); ++i) {
                out[2 * i] = static_cast<unsigned char>(samples[i] >> 8);
                out[2 * i + 1] = static_cast<unsigned char>(samples[i]);
            }
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            finished[begin / kSaveRowsPerPiece] = 1;
        }
        piece_finished.notify_all();
    };
    return WriteAtomically(filename, [&](FILE* f) {
        std::thread converter([&] { ForEachPiece(height, kSaveRowsPerPiece, convert); });
        bool written = std::fwrite(header.data(), 1, header.size(), f) == header.size();
        for (size_t p = 0; p < pieces; ++p) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                piece_finished.wait(lock, [&] { return finished[p] != 0; });
            }
            const size_t begin = p * kSaveRowsPerPiece;
            const size_t count = std::min<size_t>(kSaveRowsPerPiece, height - begin);
            written = written && std::fwrite(rows.get() + row_bytes * begin, row_bytes, count, f) == count;
        }
        converter.join();
        return written;
    });
}

}  // namespace quen_merge
