#include "nn/compute/CpuQuota.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace dravelin;

namespace {

void writeText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

} // namespace

TEST(CpuQuota, TheTightestQuotaAlongTheGroupAndItsParentsRoundedUp) {
    dravelin::testing::TemporaryDirectory root;
    // cgroup v2: no quota at the top, 3.5 CPUs on the slice, 1.5 on the group.
    writeText(root.path() / "cgroup.controllers", "cpu memory\n");
    writeText(root.path() / "user.slice/cpu.max", "350000 100000\n");
    writeText(root.path() / "user.slice/app/cpu.max", "150000 100000\n");
    EXPECT_EQ(cgroupCpuLimit("0::/user.slice/app\n", root.path()), 2);
    writeText(root.path() / "user.slice/app/cpu.max", "max 100000\n");
    EXPECT_EQ(cgroupCpuLimit("0::/user.slice/app\n", root.path()), 4);
    writeText(root.path() / "user.slice/cpu.max", "max 100000\n");
    EXPECT_EQ(cgroupCpuLimit("0::/user.slice/app\n", root.path()), std::nullopt);
    // A quarter CPU still leaves one thread.
    writeText(root.path() / "user.slice/cpu.max", "25000 100000\n");
    EXPECT_EQ(cgroupCpuLimit("0::/user.slice/app\n", root.path()), 1);

    // cgroup v1 with cpu and cpuacct mounted together; -1 is no quota.
    dravelin::testing::TemporaryDirectory v1;
    writeText(v1.path() / "cpu,cpuacct/docker/c1/cpu.cfs_quota_us", "200000\n");
    writeText(v1.path() / "cpu,cpuacct/docker/c1/cpu.cfs_period_us", "100000\n");
    writeText(v1.path() / "cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    writeText(v1.path() / "cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    const std::string membership = "4:memory:/docker/c1\n3:cpu,cpuacct:/docker/c1\n0::/\n";
    EXPECT_EQ(cgroupCpuLimit(membership, v1.path()), 2);
    writeText(v1.path() / "cpu,cpuacct/docker/c1/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(cgroupCpuLimit(membership, v1.path()), std::nullopt);
    EXPECT_EQ(cgroupCpuLimit("garbage\n", v1.path()), std::nullopt);
}
