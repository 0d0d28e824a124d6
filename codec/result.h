// result.h - how the codec's parts answer: a result, and on a failure the
// text of its report.
//
// The codec never ends the program. A stage that cannot go on records the
// text of the report with its reporter and answers why; the stream and
// archive functions give that report at their edge, and the pipeline keeps
// it with its block until the block's turn. Every test of untrusted input
// (and of a limit the codec itself must keep) is one SAFETY_CHECK, so a
// reader sees at a glance where a damaged record is refused.
#pragma once

#include <string>

#include "cpu.h"

enum class CodecResult {
    Success,
    BadData,     // a damaged record
    CannotPack,  // a block the format cannot hold as asked (no empty row)
    Bug,         // a limit of the codec's own broken: never data's doing
    NoMemory,    // packing's work areas could not be made
};

// Keeps the report of the last failure.
class Reporter {
public:
    // Records the report's text; answers result.
    CodecResult Fail(CodecResult result, const char* format, ...) PRINTF_LIKE(3, 4);
    const char* Failure() const { return failure.c_str(); }

private:
    std::string failure;
};

// The test of one condition, failing to the reporter given.
#define SAFETY_CHECK_TO(reporter, condition, result, ...)  \
    do {                                                   \
        if (!(condition)) [[unlikely]]                     \
            return (reporter).Fail(result, __VA_ARGS__);   \
    } while (0)

// The same inside a part, which names its reporter Report().
#define SAFETY_CHECK(condition, result, ...) SAFETY_CHECK_TO(Report(), condition, result, __VA_ARGS__)

// Passes a stage's failure on to the caller.
#define CODEC_TRY(call)                                                      \
    do {                                                                     \
        if (const CodecResult tried = (call); tried != CodecResult::Success) \
            [[unlikely]] return tried;                                       \
    } while (0)
