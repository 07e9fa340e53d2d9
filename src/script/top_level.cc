#include "script/top_level.h"

#include <cstdlib>
#include <cstring>

#include "script/data_block.h"
#include "script/file_list.h"
#include "script/import.h"
#include "script/job_block.h"
#include "script/machine_block.h"
#include "script/project_block.h"
#include "script/script_reader.h"
#include "script/step_block.h"

namespace kestrel {

namespace {

// A line that is only a keyword's word gets that block's empty-name message.
struct BareWord {
    const char* word;
    const char* message;
};

constexpr BareWord kBareWords[] = {
    {"data", "Data block name cannot be empty"},
    {"file list", "File list name cannot be empty"},
    {"machine", "Machine block name cannot be empty"},
    {"import", "No file specified to import"},
    {"step", "Step must have a name"},
    {"job", "Job must have a name"},
    {"project", "The project must have a name"},
};

bool TopLevelLineCheck(ScriptReader& reader) {
    ParserContext& context = *reader.context;
    for (const BareWord& bare : kBareWords) {
        if (std::strcmp(reader.lineText(), bare.word) == 0) {
            context.setMessage(bare.message, false);
            return false;
        }
    }
    const CountedString line{reader.line, reader.lineLength};
    const uint32_t size = FormatText(nullptr, 0, "Unrecognized line {0}", {{FormatCountedString, &line}});
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) {
        context.setMessage("Insufficient memory for parser", false);
        return false;
    }
    FormatText(text, size, "Unrecognized line {0}", {{FormatCountedString, &line}});
    context.setMessage(text, true);
    return false;
}

const char* DescribeTopLevel(void* object) { return static_cast<ParserContext*>(object)->message; }

constexpr Keyword kTopLevelKeywords[] = {
    {"data ", OpenDataBlock}, {"file list ", OpenFileList}, {"machine ", OpenMachineBlock}, {"import ", OpenImport},
    {"step ", OpenStepBlock}, {"job ", OpenJobBlock},       {"project ", OpenProjectBlock},
};

constinit const BlockHandler kTopLevelHandler{
    KeywordTrieOf<kTopLevelKeywords>.table(), TopLevelLineCheck, nullptr, nullptr, DescribeTopLevel,
};

}  // namespace

const BlockHandler& TopLevelHandler() { return kTopLevelHandler; }

}  // namespace kestrel
