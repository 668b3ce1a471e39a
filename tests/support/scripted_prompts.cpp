#include "tests/support/scripted_prompts.h"

#include "package/trailer.h"
#include "support/file_helpers.h"

namespace kzp::test {

bool ScriptedPrompts::Confirm(UpdaterState&, const char* question, const char* caption) {
    questions.push_back(question);
    captions.push_back(caption);
    return confirm;
}

uint32_t ScriptedPrompts::PasswordDialog(UpdaterState& state) {
    ++passwordPrompts;
    while (!passwords.empty()) {
        std::string typed = passwords.front();
        passwords.pop_front();
        if (CheckPassword(typed.c_str(), state.passwordDigest)) return 0;
        ++passwordMismatches;
    }
    return 1;
}

uint32_t ScriptedPrompts::TargetFolderDialog(UpdaterState& state) {
    ++folderPrompts;
    while (!folders.empty()) {
        std::string typed = folders.front();
        folders.pop_front();
        CopyText(state.targetFolder, sizeof(state.targetFolder), typed.c_str());
        if (typed.empty()) {
            ++folderEmptyMessages;
            continue;
        }
        size_t n = TextLength(state.targetFolder);
        if (state.targetFolder[n - 1] == '\\') state.targetFolder[n - 1] = 0;
        if (FileExists(state.targetFolder)) return 0;
        ++folderMissingMessages;
    }
    return 1;
}

void ScriptedPrompts::DocumentDialog(UpdaterState&, const char* text) {
    documents.push_back(text);
}

}  // namespace kzp::test
