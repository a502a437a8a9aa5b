// --mask-passwords: passwords stay out of the traffic log and off the window's grid and memo,
// while cadastro.txt keeps them, and the logins still take them.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/memo_model.h"
#include "app/registry_model.h"
#include "server/console/console.h"
#include "server/console/console_protocol.h"
#include "server/lobby/password_mask.h"
#include "support/hand_driven_form.h"

using namespace lobby;

namespace {

using testing::HasSubstr;
using testing::Not;

TEST(PasswordMask, HidesOnlyThePasswordField)
{
    const std::pair<std::string, std::string> cases[] = {
        {"ana|secret|msg|a|b", "ana|***|msg|a|b"}, {"ana|secret", "ana|***"}, {"no bar", "no bar"}, {"|", "|***"}};
    for (const auto& [request, masked] : cases)
        EXPECT_EQ(MaskRequestPassword(request), masked) << request;
    EXPECT_EQ(MaskRegistryLinePassword(",ana,,10.0.0.1,5,-,"), ",ana,***,10.0.0.1,5,-,");
    EXPECT_EQ(MaskRegistryLinePassword(",ana,secret"), ",ana,secret") << "a password cell never read";
}

TEST(PasswordMask, KeepsPasswordsOutOfTheLogAndTheWindowButNotTheFile)
{
    test_support::HandDrivenForm lobby([](FormEnvironment& environment) { environment.maskPasswords = true; });
    ASSERT_TRUE(lobby.Receive("10.0.0.1", "ana|s3cret|slc|"));
    ASSERT_TRUE(lobby.Receive("10.0.0.1", "ana|s3cret|scj|5"));
    lobby.Receive("10.0.0.1", "ana|s3cret");
    Console console(lobby.form->Console(), lobby.monotonic, nullptr, ConsoleSetup{"lobby-server", "9.9", {}, {}});
    std::string answer;
    console.Handle("password\tana\tn3w", [&](std::string text) { answer = text; });
    ASSERT_THAT(answer, testing::StartsWith("ok\n"));

    const std::string log = lobby.LogText();
    EXPECT_THAT(log, Not(HasSubstr("s3cret")));
    EXPECT_THAT(log, Not(HasSubstr("n3w")));
    EXPECT_THAT(log, HasSubstr(": 10:20:30 ana|***|slc|\r\n"));
    EXPECT_THAT(log, HasSubstr(": 10:20:30 ana|***\r\n"));
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",ana,n3w,10.0.0.1,5,+,"));

    RegistryModel grid(lobby.form->Cad, nullptr, lobby.form->MasksPasswords());
    EXPECT_EQ(grid.headerData(Registry::kPassword, Qt::Horizontal, Qt::DisplayRole).toString(), "Senha");
    EXPECT_EQ(grid.data(grid.index(0, Registry::kPassword), Qt::DisplayRole).toString(), "***");
    EXPECT_EQ(grid.data(grid.index(0, Registry::kNick), Qt::DisplayRole).toString(), "ana");
    MemoModel memo(lobby.form->Memo1, nullptr, lobby.form->MasksPasswords());
    ASSERT_EQ(memo.rowCount(), 2);
    EXPECT_EQ(memo.data(memo.index(0), Qt::DisplayRole).toString(), ",Nick,Senha,Ip,Pontos,,");
    EXPECT_EQ(memo.data(memo.index(1), Qt::DisplayRole).toString(), ",ana,***,10.0.0.1,5,+,");

    // Off, as by default, the window shows the registry as it is.
    RegistryModel plain(lobby.form->Cad);
    EXPECT_EQ(plain.data(plain.index(0, Registry::kPassword), Qt::DisplayRole).toString(), "n3w");
}

} // namespace
