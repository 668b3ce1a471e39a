#include "tests/support/recording_sink.h"

namespace kzp::test {

bool CarriesText(uint32_t code) {
    switch (code) {
        case SN_HEADING:
        case SN_VERIFY_FILE_MD5:
        case SN_VERIFY_FILE_DATE_SIZE:
        case SN_UPDATE_FILE:
        case SN_ADD_FILE:
        case SN_DELETE_FILE:
        case SN_WAIT_FOR_PROGRAM:
        case SN_UPDATE_SKIPPED:
        case SN_VERIFY_UPDATE_SKIPPED:
        case SN_ADD_OVERWRITE:
        case SN_VERIFY_ADD_EXISTS:
        case SN_VERIFY_DELETE_SKIPPED:
        case SN_DELETE_SKIPPED:
        case SN_WINDOW_TITLE:
            return true;
        default:
            return false;
    }
}

void RecordingSink::Send(uint32_t code, intptr_t value) {
    Notification n{code, value, "", false};
    if (CarriesText(code) && value != 0) {
        n.text = reinterpret_cast<const char*>(value);
        n.value = 0;
    }
    notifications_.push_back(n);
    if (onSend) onSend(notifications_.back());
}

void RecordingSink::Post(uint32_t code, intptr_t value) {
    notifications_.push_back(Notification{code, value, "", true});
}

std::vector<uint32_t> RecordingSink::Codes() const {
    std::vector<uint32_t> codes;
    for (const Notification& n : notifications_) codes.push_back(n.code);
    return codes;
}

std::vector<intptr_t> RecordingSink::Values(uint32_t code) const {
    std::vector<intptr_t> values;
    for (const Notification& n : notifications_) {
        if (n.code == code) values.push_back(n.value);
    }
    return values;
}

std::vector<std::string> RecordingSink::Texts(uint32_t code) const {
    std::vector<std::string> texts;
    for (const Notification& n : notifications_) {
        if (n.code == code) texts.push_back(n.text);
    }
    return texts;
}

}  // namespace kzp::test
