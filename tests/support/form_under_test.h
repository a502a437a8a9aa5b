#pragma once

// The main window driven by hand (HandDrivenForm), with the checks the tests share.

#include <functional>
#include <gmock/gmock.h>
#include <string>
#include <vector>

#include "support/hand_driven_form.h"

namespace test_support {

using namespace lobby;
// The matchers the form's tests read what was sent with.
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

class FormUnderTest : public HandDrivenForm {
public:
    // As HandDrivenForm's; an error shown during the start fails the test.
    explicit FormUnderTest(const std::function<void(FormEnvironment&)>& adjust = {});

    // A new player's first "slc", with its replies and broadcasts taken away; fails the test
    // when the request raises.
    void Join(const std::string& fromIp, const std::string& nick, const std::string& password = "pw");
    // Each nick joined in turn from 10.0.0.5, 10.0.0.6 ..., the last then gone offline with
    // "off": a registered player who must be left out of what goes to those online.
    void JoinLastOffline(const std::vector<std::string>& nicks);

    // The cell of the first player row with this nick; fails the test when there is none.
    std::string CellOf(const std::string& nick, Registry::Column column) const;
};

} // namespace test_support
