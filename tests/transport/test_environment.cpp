#include <gtest/gtest.h>

#include "platform/runtime/asio_executor.hpp"

namespace kelvo {
namespace {

// The shared pool is never joined by itself; a readiness callback cancelled by a test's last
// close could otherwise still be running while the process destroys its statics.
class JoinSharedPool : public ::testing::Environment {
public:
    void TearDown() override { IoPool::shared().stop(); }
};

const auto* const kJoinSharedPool = ::testing::AddGlobalTestEnvironment(new JoinSharedPool);

}  // namespace
}  // namespace kelvo
