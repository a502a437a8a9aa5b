#include "support/form_under_test.h"

#include <gtest/gtest.h>

using namespace lobby;

namespace test_support {

FormUnderTest::FormUnderTest(const std::function<void(FormEnvironment&)>& adjust) : HandDrivenForm(adjust)
{
    for (const OperatorError& error : notifier.errors)
        ADD_FAILURE() << "the start showed " << error.caption << ": " << error.text;
}

void FormUnderTest::Join(const std::string& fromIp, const std::string& nick, const std::string& password)
{
    EXPECT_TRUE(Receive(fromIp, nick + "|" + password + "|slc|"));
    TakeSent();
}

void FormUnderTest::JoinLastOffline(const std::vector<std::string>& nicks)
{
    for (std::size_t i = 0; i < nicks.size(); ++i)
        Join("10.0.0." + std::to_string(5 + i), nicks[i]);
    ASSERT_TRUE(Receive("10.0.0." + std::to_string(4 + nicks.size()), nicks.back() + "|pw|off|"));
    TakeSent();
}

std::string FormUnderTest::CellOf(const std::string& nick, Registry::Column column) const
{
    const int row = RowOf(nick);
    if (row == 0) {
        ADD_FAILURE() << "no player row for nick '" << nick << "'";
        return {};
    }
    return std::string(form->Cad.Cell(column, row));
}

} // namespace test_support
