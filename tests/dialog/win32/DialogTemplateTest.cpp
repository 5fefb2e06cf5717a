// The Windows dialog: resource 1002 in the DLL byte by byte, the running window's controls
// where the template puts them, and the Enter and Escape keys through the dialog's own loop.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "DialogLayout.h"
#include "PluginFiles.h"
#include "TempDir.h"
#include "Wait.h"
#include "WindowDialogDriver.h"
#include "tools/host/PluginLibrary.h"

namespace {

constexpr DWORD kPush = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kDefault = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kCheck = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD kGroup = WS_CHILD | WS_VISIBLE | BS_GROUPBOX;

DWORD ExpectedStyle(const ExpectedControl& control) {
  std::string kind = control.kind;
  if (kind == "defbutton") return kDefault;
  if (kind == "button") return kPush;
  if (kind == "group") return kGroup;
  return control.id == 1029 ? kCheck | BS_MULTILINE : kCheck;
}

// Reads an extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items).
class TemplateReader {
 public:
  TemplateReader(const void* data, DWORD size)
      : bytes_(static_cast<const unsigned char*>(data)), size_(size) {}
  bool ok() const { return ok_; }
  WORD Word() {
    if (at_ + 2 > size_) {
      ok_ = false;
      return 0;
    }
    WORD value = static_cast<WORD>(bytes_[at_] | bytes_[at_ + 1] << 8);
    at_ += 2;
    return value;
  }
  DWORD Dword() { return Word() | static_cast<DWORD>(Word()) << 16; }
  short Short() { return static_cast<short>(Word()); }
  // A zero-terminated text, or "#N" for an ordinal (0xFFFF, N).
  std::string Text() {
    WORD first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::string text;
    for (WORD c = first; c != 0 && ok_; c = Word()) text += static_cast<char>(c);
    return text;
  }
  void AlignToDword() { at_ = (at_ + 3) & ~static_cast<DWORD>(3); }

 private:
  const unsigned char* bytes_;
  DWORD size_;
  DWORD at_ = 0;
  bool ok_ = true;
};

class DialogTemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    here_ = std::make_unique<CurrentDirectory>(dir_.path());
    ASSERT_TRUE(plugin_.Load(PluginLibrary::BuiltPath())) << plugin_.error();
  }
  int Config(const std::function<void(WindowDialogDriver&)>& script) {
    std::unique_ptr<DialogDriver> driver = DialogDriver::Create();
    return RunDialog(
        *driver, [this] { return plugin_.Config(); },
        [&](DialogDriver& dialog) { script(static_cast<WindowDialogDriver&>(dialog)); });
  }

  TempDir dir_;
  std::unique_ptr<CurrentDirectory> here_;
  PluginLibrary plugin_;
};

TEST_F(DialogTemplateTest, ResourceHoldsTheDesignsTemplate) {
  HMODULE module = GetModuleHandleA("KvtScannerLumora.dll");
  ASSERT_NE(module, nullptr);
  HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(1002),
                                MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH));
  ASSERT_NE(found, nullptr) << "no French dialog 1002";
  TemplateReader reader(LockResource(LoadResource(module, found)), SizeofResource(module, found));

  EXPECT_EQ(reader.Word(), 1);  // dlgVer
  EXPECT_EQ(reader.Word(), 0xFFFF);
  EXPECT_EQ(reader.Dword(), 0u);           // help ID
  EXPECT_EQ(reader.Dword(), 0u);           // extended style
  EXPECT_EQ(reader.Dword(), 0x80C800C8u);  // style
  WORD count = reader.Word();
  EXPECT_EQ(count, std::size(kExpectedControls));
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 187);
  EXPECT_EQ(reader.Short(), 231);
  EXPECT_EQ(reader.Text(), "");  // no menu
  EXPECT_EQ(reader.Text(), "");  // the default dialog class
  EXPECT_EQ(reader.Text(), "Lumora Settings");
  EXPECT_EQ(reader.Word(), 8);       // points
  EXPECT_EQ(reader.Word(), 400);     // weight
  EXPECT_EQ(reader.Word(), 0x0100);  // not italic, character set 1
  EXPECT_EQ(reader.Text(), "MS Shell Dlg");

  for (WORD i = 0; i < count && i < std::size(kExpectedControls); ++i) {
    const ExpectedControl& expected = kExpectedControls[i];
    SCOPED_TRACE(expected.text);
    reader.AlignToDword();
    EXPECT_EQ(reader.Dword(), 0u);  // help ID
    EXPECT_EQ(reader.Dword(), 0u);  // extended style
    EXPECT_EQ(reader.Dword(), ExpectedStyle(expected));
    EXPECT_EQ(reader.Short(), expected.x);
    EXPECT_EQ(reader.Short(), expected.y);
    EXPECT_EQ(reader.Short(), expected.width);
    EXPECT_EQ(reader.Short(), expected.height);
    EXPECT_EQ(static_cast<int>(reader.Dword()), expected.id);
    EXPECT_EQ(reader.Text(), "#128");  // the button class
    EXPECT_EQ(reader.Text(), expected.text);
    EXPECT_EQ(reader.Word(), 0);  // no creation data
  }
  EXPECT_TRUE(reader.ok());
}

TEST_F(DialogTemplateTest, WindowHasNoOwnerAndItsControlsWhereTheTemplatePutsThem) {
  Config([](WindowDialogDriver& dialog) {
    ASSERT_TRUE(dialog.WaitOpen());
    HWND window = dialog.window();
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr) << "the host's windows stay enabled";
    EXPECT_EQ(GetParent(window), nullptr);
    std::size_t index = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT), ++index) {
      ASSERT_LT(index, std::size(kExpectedControls));
      const ExpectedControl& expected = kExpectedControls[index];
      SCOPED_TRACE(expected.text);
      EXPECT_EQ(GetDlgCtrlID(child), expected.id);
      // The dialog manager maps the origin and the size each on its own.
      RECT origin{expected.x, expected.y, expected.x, expected.y};
      RECT size{0, 0, expected.width, expected.height};
      ASSERT_TRUE(MapDialogRect(window, &origin) && MapDialogRect(window, &size));
      RECT actual;
      GetWindowRect(child, &actual);
      MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&actual), 2);
      EXPECT_EQ(actual.left, origin.left);
      EXPECT_EQ(actual.top, origin.top);
      EXPECT_EQ(actual.right - actual.left, size.right);
      EXPECT_EQ(actual.bottom - actual.top, size.bottom);
    }
    EXPECT_EQ(index, std::size(kExpectedControls));
    EXPECT_TRUE(dialog.Cancel());
  });
}

TEST_F(DialogTemplateTest, EnterAndEscapeReachOkAndCancelThroughTheDialogsLoop) {
  // First opening: the two start-up boxes show clear, so OK stores 0 where Cancel keeps 1.
  for (WPARAM key : {VK_ESCAPE, VK_RETURN}) {
    SCOPED_TRACE(key == VK_RETURN ? "Enter" : "Escape");
    plugin_.Unload();
    WriteWholeFile(dir_.file("KvtScanner.ini"), "[Lumora]\r\nDisplayToolBar=1\r\n");
    ASSERT_TRUE(plugin_.Load(PluginLibrary::BuiltPath())) << plugin_.error();
    Config([key](WindowDialogDriver& dialog) {
      ASSERT_TRUE(dialog.WaitOpen());
      // The focus starts on OK, the first control with a tab stop. Under Wine a key that arrives
      // while the new window is still settling can be dropped, so it is pressed again, a few
      // times at most, until the window goes.
      HWND window = dialog.window();
      for (int press = 0; press < 5 && IsWindow(window); ++press) {
        PostMessageA(GetDlgItem(window, IDOK), WM_KEYDOWN, key, 0);
        static_cast<void>(WaitUntil([window] { return !IsWindow(window); }, 2000, 20));
      }
      EXPECT_TRUE(dialog.WaitClosed());
    });
    plugin_.Unload();
    EXPECT_EQ(ReadSetting(dir_.file("KvtScanner.ini"), "DisplayToolBar"),
              key == VK_RETURN ? "0" : "1");
  }
}

}  // namespace
