#pragma once
// Every named control of the two windows with its kind: the window builds from the same
// names, and the test port refuses a name that is not here.

#include <array>
#include <string_view>

namespace morvane {

enum class ControlKind {
  EditBox,
  Label,
  TransparentLabel,
  Button,
  ComboBox,
  ReportList,
  Browser,
  PictureBox,
  TabControl,
  Toolbar,
  FileDialog,
  ProgressBar,
};

struct ControlName {
  std::string_view name;
  ControlKind kind;
};

inline constexpr std::array kControlNames = {
    // Main window, status strip and title area.
    ControlName{"工具条1", ControlKind::Toolbar},
    ControlName{"高级选择夹1", ControlKind::TabControl},
    ControlName{"透明标签3", ControlKind::TransparentLabel},
    ControlName{"透明标签4", ControlKind::TransparentLabel},
    ControlName{"超级按钮9", ControlKind::Button},
    ControlName{"透明标签1", ControlKind::TransparentLabel},
    ControlName{"透明标签2", ControlKind::TransparentLabel},
    ControlName{"透明标签5", ControlKind::TransparentLabel},
    ControlName{"透明标签6", ControlKind::TransparentLabel},
    ControlName{"透明标签7", ControlKind::TransparentLabel},
    ControlName{"透明标签8", ControlKind::TransparentLabel},
    // Page 0, online playback.
    ControlName{"编辑框1", ControlKind::EditBox},
    ControlName{"超级按钮1", ControlKind::Button},
    ControlName{"超级按钮2", ControlKind::Button},
    ControlName{"超级按钮3", ControlKind::Button},
    ControlName{"通用对话框1", ControlKind::FileDialog},
    ControlName{"超级列表框3", ControlKind::ReportList},
    ControlName{"图片框2", ControlKind::PictureBox},
    ControlName{"超文本浏览框1", ControlKind::Browser},
    ControlName{"超级按钮8", ControlKind::Button},
    // Page 1, torrent search.
    ControlName{"图片框1", ControlKind::PictureBox},
    ControlName{"编辑框_种子关键字", ControlKind::EditBox},
    ControlName{"组合框1", ControlKind::ComboBox},
    ControlName{"超级按钮5", ControlKind::Button},
    ControlName{"超级按钮6", ControlKind::Button},
    ControlName{"超级列表框1", ControlKind::ReportList},
    ControlName{"标签5", ControlKind::Label},
    ControlName{"图片框7", ControlKind::PictureBox},
    ControlName{"种子结果标签", ControlKind::Label},
    ControlName{"超级按钮7", ControlKind::Button},
    ControlName{"透明标签9", ControlKind::TransparentLabel},
    // Page 2, HD film library.
    ControlName{"图片框3", ControlKind::PictureBox},
    ControlName{"编辑框_高清影库", ControlKind::EditBox},
    ControlName{"超级按钮10", ControlKind::Button},
    ControlName{"超级按钮11", ControlKind::Button},
    ControlName{"标签1", ControlKind::Label},
    ControlName{"高清影库浏览框", ControlKind::Browser},
    // Page 3, live TV.
    ControlName{"电视直播浏览框", ControlKind::Browser},
    ControlName{"超级按钮4", ControlKind::Button},
    // Update window.
    ControlName{"进度条1", ControlKind::ProgressBar},
    ControlName{"标签_已完成百分比", ControlKind::Label},
    ControlName{"标签_总大小", ControlKind::Label},
    ControlName{"标签_下载速度", ControlKind::Label},
};

// The controls that many routines and their tests name, each name written once.
inline constexpr std::string_view kLinkBox = "编辑框1";       // the link that plays
inline constexpr std::string_view kPlayer = "超文本浏览框1";  // the embedded player
inline constexpr std::string_view kResults = "超级列表框1";   // the search results
inline constexpr std::string_view kHistory = "超级列表框3";   // the play history
inline constexpr std::string_view kPages = "高级选择夹1";     // the main window's pages

inline constexpr std::array<std::string_view, 3> kMenuNames = {"菜单", "菜单设置", "小菜单"};

constexpr bool IsControlName(std::string_view name) {
  for (const auto& c : kControlNames)
    if (c.name == name) return true;
  return false;
}

}  // namespace morvane
