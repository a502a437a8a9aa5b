#pragma once

#include <string>

namespace test_support {

// Moves the calling thread into a new network namespace whose loopback interface is up, and
// back into the old one when it goes. Sockets made and processes started in between belong
// to the new namespace for their whole life, so a test's servers and clients (on any
// 127.0.0.N) are alone there: port 12001 is always free and nothing leaves the machine.
class PrivateNetwork {
public:
    PrivateNetwork();
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    // Why the namespace could not be made (not root, for one); empty when it was.
    const std::string& Failure() const { return failure_; }

private:
    int original_ = -1;
    bool entered_ = false;
    std::string failure_;
};

} // namespace test_support
