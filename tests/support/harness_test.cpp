// The harness's own judgement that decides whether /proc probes of the
// program can be trusted: a wrong "emulated" would silently skip the
// interrupt-window and wiping tests on a real machine.
#include "support/harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// Which processor family the kernel itself describes. qemu-user (7.2) passes
// the machine's /proc/cpuinfo through to the programs it emulates, so this
// is the machine, not the program's target.
std::string kernel_cpu_family() {
    std::ifstream f("/proc/cpuinfo");
    std::stringstream all;
    all << f.rdbuf();
    const std::string text = all.str();
    if (text.find("vendor_id") != std::string::npos) return "x86";
    if (text.find("CPU implementer") != std::string::npos) return "arm";
    return "";
}

constexpr const char* build_cpu_family() {
#if defined(__x86_64__) || defined(__i386__)
    return "x86";
#elif defined(__aarch64__) || defined(__arm__)
    return "arm";
#else
    return "";
#endif
}

TEST(Harness, SeesEmulationExactlyWhenTheMachineIsNotTheBuildsTarget) {
    const std::string machine = kernel_cpu_family();
    if (machine.empty() || std::string(build_cpu_family()).empty())
        GTEST_SKIP() << "/proc/cpuinfo or this build's target is of no family this test knows";
    EXPECT_EQ(harness::under_emulation(), machine != build_cpu_family())
        << "machine " << machine << ", built for " << build_cpu_family();
}

} // namespace
