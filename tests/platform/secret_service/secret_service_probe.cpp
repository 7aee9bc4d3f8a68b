// Adds or reads one item from a process of its own, on the bus that DBUS_SESSION_BUS_ADDRESS
// names:  tovali_secret_service_probe add|read SERVICE ACCOUNT HEX
// It prints whether the call succeeded, and for a read whether the bytes equal HEX, so that no
// secret is printed.
#include <cstdio>
#include <string_view>

#include "common/bytes.hpp"
#include "platform/secret_service/secret_service_keychain.hpp"

int main(int argc, char** argv) {
    auto data = argc == 5 ? tovali::fromHex(argv[4]) : std::nullopt;
    if (!data) {
        std::fprintf(stderr, "usage: %s add|read SERVICE ACCOUNT HEX\n", argv[0]);
        return 2;
    }
    std::string_view command = argv[1];
    tovali::KeychainQuery query{argv[2], argv[3]};
    tovali::SecretServiceKeychain keychain;
    auto outcome = [](tovali::KeychainResult result) {
        return result == tovali::KeychainResult::success ? "success" : "failure";
    };
    if (command == "add") {
        std::printf("%s\n", outcome(keychain.add(query, *data)));
        return 0;
    }
    if (command == "read") {
        auto result = keychain.copyMatching(query);
        std::printf("%s %s\n", outcome(result.status), result.data == data ? "same" : "different");
        return 0;
    }
    std::fprintf(stderr, "unknown command %s\n", argv[1]);
    return 2;
}
