#include <gtest/gtest.h>

#include "platform/runtime/asio_executor.hpp"

// Every suite's entry point: the shared pool is joined before the process tears down its
// statics, so a handler of a just-cancelled timer or watch cannot run during exit.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    kelvo::IoPool::shared().stop();
    return status;
}
