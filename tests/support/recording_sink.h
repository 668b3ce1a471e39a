// A status sink that records every notification, with copies of the texts
// that text notifications carry (they are valid only while handled).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/status_notification.h"

namespace kzp::test {

struct Notification {
    uint32_t code;
    intptr_t value;
    std::string text;  // for the codes that carry a text
    bool posted;

    bool operator==(const Notification& other) const {
        return code == other.code && value == other.value && text == other.text &&
               posted == other.posted;
    }
};

// True for the codes whose value is a text pointer.
bool CarriesText(uint32_t code);

class RecordingSink : public StatusSink {
  public:
    void Send(uint32_t code, intptr_t value) override;
    void Post(uint32_t code, intptr_t value) override;

    const std::vector<Notification>& All() const { return notifications_; }
    std::vector<uint32_t> Codes() const;
    // The values of every notification with `code`, in order.
    std::vector<intptr_t> Values(uint32_t code) const;
    std::vector<std::string> Texts(uint32_t code) const;
    void Clear() { notifications_.clear(); }

    // Called after each sent notification has been recorded (for example to
    // press Cancel at a chosen moment).
    std::function<void(const Notification&)> onSend;

  private:
    std::vector<Notification> notifications_;
};

}  // namespace kzp::test
