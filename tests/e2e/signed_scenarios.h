// A signed stub, signed here with a throw-away certificate (openssl and
// osslsigncode, run as Unix programs): the uninstall file kivlog builds and
// appends to verifies, its temporary copy is the signed stub byte for byte
// and verifies too, and the uninstall runs as from an unsigned file. Shared
// by the NT family's suite and the 95 family's.
#ifndef KIV_TESTS_E2E_SIGNED_SCENARIOS_H_
#define KIV_TESTS_E2E_SIGNED_SCENARIOS_H_

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// clang-format on

#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "e2e_config.h"
#include "handoff/temporary_copy.h"
#include "handoff_scenarios.h"
#include "harness.h"
#include "uninstall_file/signature_part.h"

namespace kiv::e2e {

// WinVerifyTrust's Authenticode verdict on a file: 0 when it verifies.
inline LONG Verdict(const std::string& path) {
  std::wstring wide(path.begin(), path.end());
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = wide.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

// The throw-away certificate as a trusted root of this prefix, so that a
// sound signature verifies as a vendor's would.
inline bool TrustCertificate(const std::string& der_path) {
  const std::string der = ReadFileBytes(der_path);
  HCERTSTORE root = CertOpenSystemStoreA(0, "ROOT");
  if (!root || der.empty()) return false;
  const BOOL added = CertAddEncodedCertificateToStore(
      root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(root, 0);
  return added != FALSE;
}

inline bool Kivlog(const std::string& arguments) {
  DWORD code = 1;
  return RunAndWait(std::string("\"") + KIV_KIVLOG_PATH + "\" " + arguments, 60000, &code) &&
         code == 0;
}

// flat_copy: the 95 family's copy is the temporary file itself, not a file
// in a private directory.
inline void SignedFileAndItsCopyVerifyAndTheUninstallRunsAsUnsigned(bool flat_copy) {
  const std::string dir = FreshDirectory("signed");
  const std::string product = FreshDirectory("signed\\App");
  const std::string u = UnixPath(dir);
  ASSERT_TRUE(RunUnix("openssl", "req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=KivTest -keyout '" +
                                     u + "/key.pem' -out '" + u + "/cert.pem' >/dev/null 2>&1"))
      << "openssl is needed (scripts/bootstrap installs it)";
  ASSERT_TRUE(RunUnix("openssl", "x509 -in '" + u + "/cert.pem' -outform DER -out '" + u + "/cert.der'"));
  ASSERT_TRUE(RunUnix("osslsigncode", "sign -certs '" + u + "/cert.pem' -key '" + u + "/key.pem' -in '" +
                                          UnixPath(KIV_STUB_PATH) + "' -out '" + u +
                                          "/signed.exe' >/dev/null 2>&1"))
      << "osslsigncode is needed (scripts/bootstrap installs it)";
  ASSERT_TRUE(TrustCertificate(dir + "\\cert.der"));
  const std::string signed_stub = ReadFileBytes(dir + "\\signed.exe");
  ASSERT_EQ(Verdict(dir + "\\signed.exe"), 0);

  WriteFileBytes(product + "\\app.exe", "installed");
  WriteFileBytes(product + "\\a.dat", "installed");
  WriteFileBytes(product + "\\b.dat", "installed");
  const std::string file = product + "\\uninst.exe";
  auto manifest = [&](const std::string& name, const std::string& records) {
    WriteFileBytes(dir + "\\" + name,
                   "{\"display_name\": \"Signed App\", \"records\": [" + records + "]}");
    return "\"" + dir + "\\" + name + "\"";
  };
  auto file_record = [&](const std::string& path) {
    return "{\"type\": \"file\", \"path\": " + JsonString(path) + "}";
  };
  ASSERT_TRUE(Kivlog("build " + manifest("m.json", "{\"type\": \"directory\", \"path\": " +
                                                       JsonString(product) + "}, " +
                                                       file_record(product + "\\app.exe")) +
                     " --stub \"" + dir + "\\signed.exe\" -o \"" + file + "\""));
  EXPECT_EQ(Verdict(file), 0) << "after build";
  // The same log after the table (the lengths as signed): no signature then.
  std::string outside = ReadFileBytes(file);
  outside.replace(0, signed_stub.size(), signed_stub);
  WriteFileBytes(dir + "\\outside.exe", outside);
  EXPECT_NE(Verdict(dir + "\\outside.exe"), 0);
  ASSERT_TRUE(Kivlog("append \"" + file + "\" " + manifest("a.json", file_record(product + "\\a.dat"))));
  EXPECT_EQ(Verdict(file), 0) << "after the first append";
  ASSERT_TRUE(Kivlog("append \"" + file + "\" " + manifest("b.json", file_record(product + "\\b.dat"))));
  EXPECT_EQ(Verdict(file), 0) << "after the second append";

  // The copy the confirmation starts: the signed stub itself.
  TemporaryPath copy;
  platform::HeldDirectory held;
  ASSERT_TRUE(MakeTemporaryCopy(file.c_str(), &copy, &held));
  EXPECT_EQ(ReadFileBytes(copy.c_str()), signed_stub);
  EXPECT_EQ(Verdict(copy.c_str()), 0) << "the copy";
  held.Release();
  RemoveTemporaryCopy(copy.c_str());

  // A certificate of another type: no copy, which keeps the run in the
  // confirming process.
  std::string spoilt = ReadFileBytes(file);
  {
    kiv::SignaturePart part;
    ASSERT_EQ(kiv::ReadSignaturePart(reinterpret_cast<const uint8_t*>(spoilt.data()), spoilt.size(),
                                     &part),
              kiv::SignatureLayout::kSigned);
    spoilt[part.table_offset + 6] = 1;
    WriteFileBytes(dir + "\\spoilt.exe", spoilt);
    TemporaryPath none;
    platform::HeldDirectory none_held;
    EXPECT_FALSE(MakeTemporaryCopy((dir + "\\spoilt.exe").c_str(), &none, &none_held));
  }

  const std::vector<std::string> copies_before = TempCopies();
  RunResult run = e2e::Run(AsUserStartsIt(file), {IDYES});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kExitUninstallEntered);
  EXPECT_EQ(run.processes, 2) << "the confirmation and its temporary copy";
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].text, "Uninstall was succesful");
  EXPECT_FALSE(FileExists(product + "\\app.exe"));
  EXPECT_FALSE(FileExists(product + "\\a.dat"));
  EXPECT_FALSE(FileExists(product + "\\b.dat"));
  EXPECT_FALSE(FileExists(file));

  // The copy that did the walk waits for the next start to go: it is the
  // signed stub byte for byte, and verifies.
  const std::vector<std::string> copies = NewNames(copies_before, TempCopies());
  ASSERT_EQ(copies.size(), 1u);
  const std::string walker = TempDirectory() + copies[0] + (flat_copy ? "" : "\\uninstall.exe");
  EXPECT_EQ(ReadFileBytes(walker), signed_stub);
  EXPECT_EQ(Verdict(walker), 0) << "the copy that walked";
  ASSERT_TRUE(SimulateRestart());
  EXPECT_FALSE(FileExists(walker));
}

}  // namespace kiv::e2e

#endif  // KIV_TESTS_E2E_SIGNED_SCENARIOS_H_
