// main() of the test programs: a QCoreApplication for the Qt parts, then
// GoogleTest. A program that defines its own main() does not get this one.
#include <orbhandlerhost.h>

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char **argv)
{
    // Writing to a server's stdin after it died must fail, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    CorbaCommon::OrbHandlerHost::Shutdown();
    return result;
}
