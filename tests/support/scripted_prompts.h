// Answers the apply thread's questions from a script, as a user would.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/updater_state.h"
#include "engine/prompts.h"

namespace kzp::test {

class ScriptedPrompts : public Prompts {
  public:
    // Answer to the confirmation question.
    bool confirm = true;
    // Passwords typed one after the other; Cancel when they run out. Each is
    // checked as the password prompt checks it; a mismatch counts in
    // passwordMismatches and the next one is tried.
    std::deque<std::string> passwords;
    // Folders typed into the folder prompt, tried in turn like the dialog
    // does (empty: "no folder" message; missing: "does not exist" message);
    // Cancel when they run out.
    std::deque<std::string> folders;

    // What was asked.
    std::vector<std::string> questions;
    std::vector<std::string> captions;
    int passwordPrompts = 0;
    int passwordMismatches = 0;
    int folderPrompts = 0;
    int folderEmptyMessages = 0;
    int folderMissingMessages = 0;
    std::vector<std::string> documents;

    bool Confirm(UpdaterState& state, const char* question, const char* caption) override;
    uint32_t PasswordDialog(UpdaterState& state) override;
    uint32_t TargetFolderDialog(UpdaterState& state) override;
    void DocumentDialog(UpdaterState& state, const char* text) override;
};

}  // namespace kzp::test
