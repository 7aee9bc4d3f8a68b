#include <QLabel>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/menu_view.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

// The line under the paired watches, or none while it is hidden.
std::optional<std::string> problemLine(const MenuView& view) {
    const auto* label = view.findChild<QLabel*>(QStringLiteral("storageProblem"));
    if (label == nullptr || !label->isVisibleTo(&view)) {
        return std::nullopt;
    }
    return label->text().toStdString();
}

bool contains(const std::optional<std::string>& text, const std::string& part) {
    return text && text->find(part) != std::string::npos;
}

TEST(StorageProblem, unreadableList_isNamedInTheMenuAndNeverWritten_whilePairingStillWorks) {
    ServerRig rig;
    ScriptedLoginItem loginItem;
    rig.defaults.unreadable["trustedWatches"] = "Permission denied";
    rig.startAdvertising();
    MenuView view(*rig.server, rig.accessibility, loginItem, [] {});
    EXPECT_TRUE(contains(problemLine(view), "/config/tovali/trustedWatches: Permission denied"))
        << problemLine(view).value_or("<hidden>");

    TestWatch ada(*rig.peripheral, "Ada");
    ASSERT_TRUE(ada.startPairing());
    rig.answerPairing(true);
    EXPECT_TRUE(ada.finishSession());
    EXPECT_EQ(rig.server->pairedWatches().value().size(), 1u);
    EXPECT_TRUE(problemLine(view));
    rig.server.reset();
    EXPECT_TRUE(rig.defaults.writes.empty());
}

TEST(StorageProblem, failedSave_showsUntilASaveWorks_andIsRetriedAtQuit) {
    ServerRig rig;
    ScriptedLoginItem loginItem;
    const crypto::PrivateKey key = crypto::PrivateKey::generate();
    rig.trust(key, "Ada");
    rig.defaults.writeFails = [](std::string_view) { return true; };
    rig.startAdvertising();
    auto view = std::make_unique<MenuView>(*rig.server, rig.accessibility, loginItem, [] {});
    EXPECT_EQ(problemLine(*view), std::nullopt);

    rig.server->forget(rig.server->pairedWatches().value().at(0));
    EXPECT_TRUE(contains(problemLine(*view), "trustedWatches: No space left on device"))
        << problemLine(*view).value_or("<hidden>");
    rig.server->forget(TrustedWatch{toBytes(key.publicKey()), "Ada", 0.0});
    EXPECT_TRUE(problemLine(*view)) << "the next change tried again, and failed again";

    rig.defaults.writeFails = {};
    const std::size_t writes = rig.defaults.writes.size();
    view.reset();
    rig.server.reset();
    EXPECT_EQ(rig.defaults.writes.size(), writes + 1);
    EXPECT_EQ(rig.defaults.values.at("trustedWatches"), toBytes(asBytes("[]")));
}

} // namespace
