#include "host/outputs/OutputWriter.h"

#include <algorithm>
#include <exception>
#include <string>

#include "host/common/StopSignals.h"

namespace n95::host {

TOutputWriter::TOutputWriter(TOutputSet& outputs) : Outputs(outputs) {
    Filling.reserve(kBatchRows);
    Worker = StartThreadWithStopsBlocked([this] { Run(); });
}

TOutputWriter::~TOutputWriter() {
    Finish();
}

void TOutputWriter::Add(std::span<const TRecordRow> rows) {
    while (!rows.empty()) {
        const std::size_t take = std::min(rows.size(), kBatchRows - Filling.size());
        Filling.insert(Filling.end(), rows.begin(), rows.begin() + take);
        rows = rows.subspan(take);
        if (Filling.size() == kBatchRows) {
            Queue.Put(Filling);
            Filling.clear();
        }
    }
}

void TOutputWriter::Run() {
    std::vector<TRecordRow> writing;
    writing.reserve(kBatchRows);
    std::string error;
    while (Queue.Take(writing)) {
        if (!WriteFailed.load(std::memory_order_relaxed)) {
            try {
                for (const TRecordRow& row : writing)
                    Outputs.Add(row);
                if (!Outputs.Flush(&error))
                    WriteFailed.store(true, std::memory_order_relaxed);
            } catch (const std::exception& e) {
                FailureMessage = std::string("cannot write the outputs: ") + e.what();
                WriteFailed.store(true, std::memory_order_relaxed);
            }
        }
        writing.clear();
    }
}

void TOutputWriter::Finish() {
    if (Finished)
        return;
    Finished = true;
    if (!Filling.empty())
        Queue.Put(Filling);
    Queue.Close();
    Worker->Join();
}

}  // namespace n95::host
