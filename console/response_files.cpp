#include "console/response_files.h"

#include <utility>

#include "console/calibration_file.h"
#include "console/text_file.h"

Outcome<LoadedResponse, std::string> LoadResponseFile(const std::string& path) {
    static const char* const kRole = "response file";
    const auto text = ReadRegularFile(path, kMaxResponseFileSize);
    if (!text) return Fail(FileProblem(kRole, path, 0, text.reason()));
    auto parse = ParseResponseText(text.value());
    if (!parse) {
        return Fail(FileProblem(kRole, path, parse.reason().line, Words(parse.reason(), "level")));
    }
    LoadedResponse loaded;
    loaded.path = path;
    loaded.response = std::move(parse.value());
    return loaded;
}
