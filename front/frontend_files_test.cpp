#include "front/frontend_files.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "front/front_test_support.h"
#include "tests/deadline.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;

TEST(FrontendMimeTypeTest, ByExtensionIgnoringCase) {
  EXPECT_EQ(FrontendMimeType("a/index.HTML"), "text/html");
  EXPECT_EQ(FrontendMimeType("x.js"), "text/javascript");
  EXPECT_EQ(FrontendMimeType("logo.Png"), "image/png");
  EXPECT_EQ(FrontendMimeType("archive.7z"), "application/octet-stream");
  EXPECT_EQ(FrontendMimeType("README"), "application/octet-stream");
}

class ResolveFrontendTest : public InstallFolderTest {
 protected:
  void SetUp() override {
    InstallFolderTest::SetUp();
    root_ = home_ / "Frontend";
    WriteFile("Frontend/index.htm", "a");
    WriteFile("Frontend/default.html", "b");
    WriteFile("Frontend/app/default.htm", "c");
    WriteFile("Frontend/app/index.html", "d");
    WriteFile("Frontend2/stolen.txt", "e");
    WriteFile("secret.txt", "f");
    fs::create_directories(root_ / "none");
    fs::create_symlink(home_ / "secret.txt", root_ / "out.txt");
    fs::create_symlink(home_ / "Frontend2", root_ / "twin");
    fs::create_symlink(root_ / "app", root_ / "alias");
  }
  // The file the command handler answers a GET of path with; nullopt when it sends none.
  std::optional<fs::path> Resolve(std::string_view path) {
    THttpRequest request;
    request.method = "GET";
    request.path = std::string(path);
    THttpResponse response;
    HTTPServerCommandGet(request, response);
    if (response.body_file.empty()) return std::nullopt;
    return response.body_file;
  }
  fs::path root_;
};

TEST_F(ResolveFrontendTest, FoldersGetTheFirstDefaultDocument) {
  EXPECT_EQ(Resolve("/"), fs::canonical(root_ / "index.htm"));
  EXPECT_EQ(Resolve(""), fs::canonical(root_ / "index.htm"));
  EXPECT_EQ(Resolve("/app"), fs::canonical(root_ / "app/index.html"));
  EXPECT_EQ(Resolve("/app/"), fs::canonical(root_ / "app/index.html"));
  EXPECT_EQ(Resolve("/alias/default.htm"), fs::canonical(root_ / "app/default.htm"));
  EXPECT_EQ(Resolve("/none/"), std::nullopt);
  EXPECT_EQ(Resolve("/app/./../default.html"), fs::canonical(root_ / "default.html"));
}

TEST_F(ResolveFrontendTest, NothingOutsideTheFolderIsServed) {
  EXPECT_EQ(Resolve("/../secret.txt"), std::nullopt);
  EXPECT_EQ(Resolve("/app/../../secret.txt"), std::nullopt);
  EXPECT_EQ(Resolve("/../Frontend2/stolen.txt"), std::nullopt);  // same prefix, other folder
  EXPECT_EQ(Resolve("/out.txt"), std::nullopt);
  EXPECT_EQ(Resolve("/twin/stolen.txt"), std::nullopt);
  EXPECT_EQ(Resolve(std::string_view("/index.htm\0.png", 15)), std::nullopt);
  EXPECT_EQ(Resolve("/Index.htm"), std::nullopt);
  fs::remove_all(root_);
  EXPECT_EQ(Resolve("/index.htm"), std::nullopt);
}

using WSDLAdminFileTest = InstallFolderTest;

TEST_F(WSDLAdminFileTest, RemovedWhenPresentAndConcurrentRemovalsAreNoFailure) {
  DeleteWSDLAdminFile();  // nothing there
  WriteFile("ZyntParlevo_WSDLADMIN.INI", "[admin]\n");
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { DeleteWSDLAdminFile(); });
  testing_support::JoinAllWithin(threads, "the readers of the front-end files");
  EXPECT_FALSE(fs::exists(home_ / "ZyntParlevo_WSDLADMIN.INI"));
}

}  // namespace
}  // namespace parlevo
