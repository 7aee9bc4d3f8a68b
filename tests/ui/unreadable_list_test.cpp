#include <QLabel>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files/file_defaults.hpp"
#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/menu_view.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

std::string problemLine(const MenuView& view) {
    const auto* line = view.findChild<QLabel*>(QStringLiteral("storageProblem"));
    return line->isVisibleTo(&view) ? line->text().toStdString() : "<hidden>";
}

std::string contentsOf(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Taken for no list at all, an unreadable one was replaced by the next approval, and every
// other pairing with it.
TEST(UnreadableList, approval_leavesTheFileByteForByte_andTheMenuSaysWhy) {
    const struct {
        const char* name;
        void (*spoil)(const std::string& path);
        const char* reason;
    } cases[] = {
        {"mode 000", [](const std::string& path) { ::chmod(path.c_str(), 0); },
         "Permission denied"},
        {"a folder",
         [](const std::string& path) {
             std::filesystem::rename(path, path + ".old");
             std::filesystem::create_directory(path);
             std::filesystem::rename(path + ".old", path + "/inside");
         },
         "it is a folder, not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char pattern[] = "/tmp/tovali-list-XXXXXX";
        const std::string folder = ::mkdtemp(pattern), path = folder + "/trustedWatches";
        // Root reads any mode: the row runs as nobody, in nobody's folder.
        const bool asRoot = ::geteuid() == 0;
        ASSERT_TRUE(!asRoot || (::chown(pattern, 65534, 65534) == 0 && ::seteuid(65534) == 0));
        ServerRig rig;
        FileDefaults files(folder);
        TrustStore(files, rig.log, rig.loop)
            .add(toBytes(crypto::PrivateKey::generate().publicKey()), "Earlier");
        const std::string before = contentsOf(path);
        c.spoil(path);

        ScriptedLoginItem loginItem;
        BluetoothServer::Platform p = rig.platform();
        auto server = std::make_unique<BluetoothServer>(
            BluetoothServer::Platform{p.events, p.displays, p.loop, p.keychain, p.log, files,
                                      p.accessibility, p.hostName, p.makePeripheralManager});
        MenuView view(*server, rig.accessibility, loginItem, [] {});
        EXPECT_NE(problemLine(view).find(path + ": " + c.reason), std::string::npos)
            << problemLine(view);
        rig.peripheral->powerOnAndAdvertise();
        TestWatch ada(*rig.peripheral, "Ada");
        ASSERT_TRUE(ada.startPairing());
        rig.loop.advance(BluetoothServer::pairingArmingSeconds);
        server->answerPairing(*server->pairingRequest().value(), true);
        EXPECT_TRUE(ada.finishSession()) << "pairing still works for this run";
        server.reset();

        ::chmod(path.c_str(), 0700);
        const bool moved = std::filesystem::is_directory(path);
        EXPECT_EQ(contentsOf(moved ? path + "/inside" : path), before);
        ASSERT_TRUE(!asRoot || ::seteuid(0) == 0);
        std::filesystem::remove_all(folder);
    }
}

// "Forget" that could not be saved must not look done, and is saved at quit once it can be.
TEST(UnreadableList, failedSave_isShownAndRetriedAtQuit) {
    ServerRig rig;
    ScriptedLoginItem loginItem;
    rig.trust(crypto::PrivateKey::generate(), "Ada");
    rig.defaults.writeFails = [](std::string_view) { return true; };
    rig.startAdvertising();
    auto view = std::make_unique<MenuView>(*rig.server, rig.accessibility, loginItem, [] {});
    rig.server->forget(rig.server->pairedWatches().value().at(0));
    EXPECT_NE(problemLine(*view).find("trustedWatches: No space left on device"),
              std::string::npos);
    rig.defaults.writeFails = {};
    view.reset();
    rig.server.reset();
    EXPECT_EQ(rig.defaults.values.at("trustedWatches"), toBytes(asBytes("[]")));
}

} // namespace
