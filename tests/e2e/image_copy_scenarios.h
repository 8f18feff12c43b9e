// An uninstall file whose stub image runs past the temporary copy's
// 60,000-byte floor (the stub built once more with a section of padding):
// kivlog builds and checks it, the copy is the image whole, and the
// uninstall walks from that copy. Shared by the NT family's suite and the 95
// family's.
#ifndef KIV_TESTS_E2E_IMAGE_COPY_SCENARIOS_H_
#define KIV_TESTS_E2E_IMAGE_COPY_SCENARIOS_H_

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "e2e_config.h"
#include "handoff/temporary_copy.h"
#include "handoff_scenarios.h"
#include "harness.h"
#include "uninstall_file/pe_image.h"

namespace kiv::e2e {

inline bool KivlogSucceeds(const std::string& arguments) {
  DWORD code = 1;
  return RunAndWait(std::string("\"") + KIV_KIVLOG_PATH + "\" " + arguments, 60000, &code) &&
         code == 0;
}

// flat_copy: the 95 family's copy is the temporary file itself, not a file
// in a private directory.
inline void ImagePastTheFloorIsCopiedWholeAndWalks(bool flat_copy) {
  const std::string stub = ReadFileBytes(KIV_PADDED_STUB_PATH);
  ASSERT_GT(stub.size(), kTemporaryCopyFloor + 4096) << "the padding section is missing";
  uint32_t image_end = 0;
  ASSERT_TRUE(ReadImageEnd(reinterpret_cast<const uint8_t*>(stub.data()), kPeHeadLimit,
                           stub.size(), &image_end));
  ASSERT_EQ(image_end, stub.size());

  const std::string dir = FreshDirectory("image_copy");
  const std::string product = FreshDirectory("image_copy\\App");
  WriteFileBytes(product + "\\app.exe", "installed");
  WriteFileBytes(product + "\\data.dat", "installed");
  const std::string file = product + "\\uninst.exe";
  WriteFileBytes(dir + "\\m.json",
                 "{\"display_name\": \"Long Image App\", \"records\": ["
                 "{\"type\": \"directory\", \"path\": " + JsonString(product) + "}, "
                 "{\"type\": \"file\", \"path\": " + JsonString(product + "\\app.exe") + "}, "
                 "{\"type\": \"file\", \"path\": " + JsonString(product + "\\data.dat") + "}]}");
  ASSERT_TRUE(KivlogSucceeds("build \"" + dir + "\\m.json\" --stub \"" + KIV_PADDED_STUB_PATH +
                             "\" -o \"" + file + "\""));
  ASSERT_TRUE(KivlogSucceeds("check \"" + file + "\""));
  const std::string built = ReadFileBytes(file);
  ASSERT_GT(built.size(), stub.size()) << "the log after the image";

  // The copy the confirmation starts: the image, whole, and not a byte of
  // the log past it.
  {
    TemporaryPath copy;
    platform::HeldDirectory held;
    ASSERT_TRUE(MakeTemporaryCopy(file.c_str(), &copy, &held));
    const std::string bytes = ReadFileBytes(copy.c_str());
    EXPECT_EQ(bytes.size(), stub.size());
    EXPECT_TRUE(bytes == stub) << "the copy is not the image";
    held.Release();
    RemoveTemporaryCopy(copy.c_str());
  }

  const std::vector<std::string> copies_before = TempCopies();
  RunResult run = e2e::Run(AsUserStartsIt(file), {IDYES});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  EXPECT_EQ(run.processes, 2) << "the confirmation and its temporary copy";
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_FALSE(FileExists(product + "\\app.exe"));
  EXPECT_FALSE(FileExists(product + "\\data.dat"));
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FileExists(product));

  // The copy that walked waits for the next start to go: the image whole.
  const std::vector<std::string> copies = NewNames(copies_before, TempCopies());
  ASSERT_EQ(copies.size(), 1u);
  const std::string walker = TempDirectory() + copies[0] + (flat_copy ? "" : "\\uninstall.exe");
  const std::string walked = ReadFileBytes(walker);
  EXPECT_EQ(walked.size(), stub.size());
  EXPECT_TRUE(walked == stub) << "the copy that walked is not the image";
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(walker));
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_IMAGE_COPY_SCENARIOS_H_
