#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/SingleInstance.h"

namespace drovn::platform {
namespace {

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("drovn-single-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

bool takeBringToFront(MessageQueue& q) {
  MessageQueue::Taken t;
  return q.take(t, 5000) && t.message.id == kBringToFront;
}

TEST_F(SingleInstanceTest, SecondClaimGivesNullAndBringsTheFirstToFront) {
  MessageQueue first, second;
  // The file does not exist yet, nor does its folder.
  const std::string path = (dir_ / "conf" / "registry.reg").string();
  auto held = SingleInstance::claim(path, first);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(SingleInstance::claim(path, second), nullptr);
  EXPECT_TRUE(takeBringToFront(first));
  MessageQueue::Taken t;
  EXPECT_FALSE(second.take(t, 0));

  // Another spelling of the same file is the same instance.
  const std::string other = (dir_ / "conf" / "." / "x" / ".." / "registry.reg").string();
  EXPECT_EQ(SingleInstance::claim(other, second), nullptr);
  EXPECT_TRUE(takeBringToFront(first));
}

TEST_F(SingleInstanceTest, SymbolicLinkedFolderIsTheSameInstance) {
  MessageQueue q;
  std::filesystem::create_directories(dir_ / "real");
  std::filesystem::create_directory_symlink(dir_ / "real", dir_ / "link");
  auto held = SingleInstance::claim((dir_ / "real" / "registry.reg").string(), q);
  ASSERT_NE(held, nullptr);
  MessageQueue other;
  EXPECT_EQ(SingleInstance::claim((dir_ / "link" / "registry.reg").string(), other), nullptr);
  EXPECT_TRUE(takeBringToFront(q));
}

TEST_F(SingleInstanceTest, OtherFileAndReleasedNameCanBeClaimed) {
  MessageQueue q;
  const std::string path = (dir_ / "a.reg").string();
  auto a = SingleInstance::claim(path, q);
  ASSERT_NE(a, nullptr);
  auto b = SingleInstance::claim((dir_ / "b.reg").string(), q);
  EXPECT_NE(b, nullptr);
  a.reset();
  auto again = SingleInstance::claim(path, q);
  EXPECT_NE(again, nullptr);
  MessageQueue::Taken t;
  EXPECT_FALSE(q.take(t, 0));  // nobody was told to come to the front
}

}  // namespace
}  // namespace drovn::platform
