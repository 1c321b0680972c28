#include "host/n95host/SummaryJson.h"

#include <cstdio>

#include "host/common/Diagnostics.h"
#include "host/outputs/OutputSet.h"

#include <cmath>

#include "host/outputs/OutputText.h"

namespace n95::host {

void TJsonWriter::Item(std::string_view key) {
    if (!First.empty()) {
        if (!First.back())
            Out += ',';
        First.back() = false;
    }
    if (!key.empty()) {
        AppendJsonString(Out, key);
        Out += ':';
    }
}

void TJsonWriter::OpenObject(std::string_view key) {
    Item(key);
    Out += '{';
    First.push_back(true);
}

void TJsonWriter::CloseObject() {
    Out += '}';
    First.pop_back();
}

void TJsonWriter::OpenArray(std::string_view key) {
    Item(key);
    Out += '[';
    First.push_back(true);
}

void TJsonWriter::CloseArray() {
    Out += ']';
    First.pop_back();
}

void TJsonWriter::Number(std::string_view key, uint64_t value) {
    Item(key);
    Out += std::to_string(value);
}

void TJsonWriter::Number(std::string_view key, int64_t value) {
    Item(key);
    AppendInt(Out, value);
}

void TJsonWriter::Number(std::string_view key, double value, int decimals) {
    if (!std::isfinite(value)) {
        Null(key);
        return;
    }
    Item(key);
    AppendFixed(Out, value, decimals);
}

void TJsonWriter::String(std::string_view key, std::string_view value) {
    Item(key);
    AppendJsonString(Out, value);
}

void TJsonWriter::Bool(std::string_view key, bool value) {
    Item(key);
    Out += value ? "true" : "false";
}

void TJsonWriter::Null(std::string_view key) {
    Item(key);
    Out += "null";
}

void TJsonWriter::Raw(std::string_view key, std::string_view json) {
    Item(key);
    Out += json;
}

bool OpenJsonSummary(const std::string& path, const std::string& outDir, TOutputFile& summary) {
    std::string error;
    if (path.empty())
        return true;
    if ((!outDir.empty() && !CreateOutDir(outDir, &error)) || !summary.Open(path, &error)) {
        PrintError(error);
        return false;
    }
    return true;
}

void WriteMessagesAndStatus(TJsonWriter& json, const std::vector<std::string>& messages,
                            int status) {
    json.OpenArray("messages");
    for (const std::string& message : messages)
        json.String("", message);
    json.CloseArray();
    json.Number("exit_status", status);
}

bool CommitJsonSummary(const TJsonWriter& json, const std::string& path, TOutputFile& summary) {
    std::string error;
    const std::string& text = json.Text();
    if (std::fwrite(text.data(), 1, text.size(), summary.File()) != text.size() ||
        std::fputc('\n', summary.File()) == EOF || !summary.Commit(&error)) {
        PrintError(error.empty() ? "cannot write " + path : error);
        return false;
    }
    return true;
}

}  // namespace n95::host
