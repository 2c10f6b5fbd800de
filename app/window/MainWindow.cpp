#include "app/window/MainWindow.h"

#include <QCloseEvent>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTabWidget>
#include <QWebEngineView>
#include <QWindow>

#include "app/window/FormControls.h"
#include "app/window/Pictures.h"
#include "platform/qt/DesignFonts.h"
#include "platform/qt/LoopbackCertificates.h"
#include "platform/qt/WebProfile.h"
#include "platform/qt/QtControls.h"

namespace morvane {
namespace {

const QColor kStrip(0x26, 0x38, 0x4c);
const QColor kPageBackground(0xf3, 0xf5, 0xf8);

template <class W>
W* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* w = new W(parent);
  w->setObjectName(QString::fromUtf8(name));
  w->setGeometry(left, top, width, height);
  return w;
}

// A caption in the status strip or the title area.
TransparentLabel* StripLabel(QWidget* parent, const char* name, int left, int top, int width,
                             int height, const QString& caption) {
  auto* label = Place<TransparentLabel>(parent, name, left, top, width, height);
  label->setText(caption);
  label->setStyleSheet(QStringLiteral("color: white;"));
  return label;
}

QLineEdit* EditBox(QWidget* parent, const char* name, int left, int top, int width, int height,
                   const QString& content) {
  auto* edit = Place<QLineEdit>(parent, name, left, top, width, height);
  // The instruction is real content, not a hint: "播放" before typing sends it as it is.
  edit->setText(content);
  edit->setCursorPosition(0);
  return edit;
}

QPushButton* Button(QWidget* parent, const char* name, int left, int top, int width, int height,
                    const QString& caption) {
  auto* button = Place<QPushButton>(parent, name, left, top, width, height);
  button->setText(caption);
  return button;
}

UprightButton* CloseButton(QWidget* parent, const char* name, int left, int top) {
  auto* button = Place<UprightButton>(parent, name, left, top, 24, 64);
  button->setText(QStringLiteral("关闭"));
  button->setToolTip(QStringLiteral("关闭云点播"));
  button->setFont(DesignFont(Typeface::Song, 12, true));
  return button;
}

QWebEngineView* Browser(QWidget* parent, const char* name, int left, int top, int width,
                        int height) {
  UseUncachedWebProfile();
  auto* view = Place<QWebEngineView>(parent, name, left, top, width, height);
  view->setProperty(kGivenAddressProperty, QString());
  AcceptLoopbackCertificates(view);
  return view;
}

// A tab page: light, with the dark top strip by which the window is dragged.
class Page : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), kPageBackground);
    p.fillRect(QRect(0, 0, width(), MainWindow::kTopStrip), kStrip);
  }
};

}  // namespace

MainWindow::MainWindow(const Settings& settings, QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Morvane"));
  setWindowTitle(QStringLiteral("Morvane"));
  setWindowIcon(ProgramIcon());
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
  setFont(DefaultFont());
  setFixedSize(kWidth, kHeight);
  move(50, 50);

  auto* tabs = Place<QTabWidget>(this, "高级选择夹1", 0, 23, 960, 553);
  // The toolbar stands in for the tab headers; the pages use the whole tab control, so the
  // positions of their controls are those of the form.
  tabs->tabBar()->hide();
  tabs->setDocumentMode(true);
  tabs->addTab(BuildPlaybackPage(settings), QStringLiteral("在线云播"));
  tabs->addTab(BuildSearchPage(settings), QStringLiteral("搜索种子"));
  tabs->addTab(BuildLibraryPage(), QStringLiteral("高清影库"));
  tabs->addTab(BuildLiveTvPage(), QStringLiteral("电视直播"));
  tabs->setCurrentIndex(0);

  BuildTitleAndStatus(settings);
  BuildMenus();
  installEventFilter(this);
}

QWidget* MainWindow::NewPage() {
  auto* page = new Page;
  page->installEventFilter(this);
  return page;
}

void MainWindow::BuildTitleAndStatus(const Settings& settings) {
  QList<QPixmap> pictures;
  for (int i = 0; i < 4; ++i) pictures << ToolbarPicture(i);
  auto* toolbar = new PictureToolbar(pictures, this);
  toolbar->setObjectName(QStringLiteral("工具条1"));
  toolbar->setGeometry(0, 0, 432, 45);
  toolbar->raise();

  auto* minimise = StripLabel(this, "透明标签3", 899, 0, 20, 20, QStringLiteral("-"));
  minimise->setFont(DesignFont(Typeface::Hei, 24, true));
  minimise->setAlignment(Qt::AlignCenter);
  auto* close = StripLabel(this, "透明标签4", 932, 0, 24, 20, QStringLiteral("×"));
  close->setFont(DesignFont(Typeface::Hei, 21, true));
  close->setAlignment(Qt::AlignCenter);
  for (auto* label : {minimise, close}) label->setCursor(Qt::PointingHandCursor);

  auto* arrow = Place<QPushButton>(this, "超级按钮9", -2, 583, 24, 24);
  arrow->setIcon(ArrowPicture());
  arrow->setIconSize(QSize(24, 24));
  arrow->setFlat(true);
  arrow->setFocusPolicy(Qt::NoFocus);
  arrow->setCursor(Qt::PointingHandCursor);
  arrow->setStyleSheet(QStringLiteral("border: none;"));

  StripLabel(this, "透明标签1", 26, 588, 60, 16, QStringLiteral("当前版本："));
  StripLabel(this, "透明标签2", 91, 588, 43, 16, QString::fromStdString(settings.runningVersion));
  StripLabel(this, "透明标签5", 173, 588, 56, 16, QStringLiteral("最新版本："));
  StripLabel(this, "透明标签6", 240, 588, 54, 16, QString());
  StripLabel(this, "透明标签7", 306, 588, 376, 16,
             QStringLiteral("如果当前版本号不等于最新版本号，可以点击左面的箭头获取新版本！"));
  auto* forum =
      StripLabel(this, "透明标签8", 736, 588, 216, 16,
                 QStringLiteral("论坛:") + QString::fromStdString(settings.publisherHost));
  forum->setCursor(Qt::PointingHandCursor);
}

QWidget* MainWindow::BuildPlaybackPage(const Settings& settings) {
  QWidget* page = NewPage();
  EditBox(page, "编辑框1", 2, 25, 566, 24,
          QStringLiteral("在此输入视频链接（thunder、ftp、http、ed2k、magnet）,然后播放即可！"));
  Button(page, "超级按钮1", 582, 25, 64, 24, QStringLiteral("播放"));
  Button(page, "超级按钮2", 663, 25, 64, 24, QStringLiteral("随机播放"));
  Button(page, "超级按钮3", 742, 25, 64, 24, QStringLiteral("上传种子"));

  auto* dialog = new QFileDialog(this);
  dialog->setObjectName(QStringLiteral("通用对话框1"));
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->hide();

  auto* history = Place<ReportList>(page, "超级列表框3", 808, 25, 152, 528);
  history->SetColumns({QStringLiteral("播放记录")}, {150});

  auto* panel = Place<QWidget>(page, "图片框2", 0, 49, 808, 504);
  auto* player = Browser(panel, "超文本浏览框1", -1, 0, 832, 504);
  const QString placeholder = QStringLiteral("http://") +
                              QString::fromStdString(settings.publisherHost) +
                              QStringLiteral("/adminapi/2.html");
  player->setProperty(kGivenAddressProperty, placeholder);
  player->setUrl(QUrl::fromUserInput(placeholder));

  CloseButton(page, "超级按钮8", 0, 51)->raise();
  return page;
}

QWidget* MainWindow::BuildSearchPage(const Settings& settings) {
  QWidget* page = NewPage();
  auto* panel = Place<QWidget>(page, "图片框1", 0, 23, 960, 533);
  EditBox(panel, "编辑框_种子关键字", 152, 10, 344, 27,
          QStringLiteral("输入关键字例如（中国合伙人）"));

  auto* sites = Place<QComboBox>(panel, "组合框1", 504, 10, 144, 27);
  sites->addItems({QStringLiteral("BT搜索(推荐)"), QStringLiteral("BP搜索(推荐)")});
  // The user's indexers follow the two sites; their names may be longer than the box.
  for (const IndexerSource& indexer : settings.indexers) sites->addItem(ToQt(indexer.name));
  sites->setCurrentIndex(0);
  sites->setFont(DesignFont(Typeface::Song, 13, true));
  if (!settings.indexers.empty())
    sites->view()->setMinimumWidth(sites->view()->sizeHintForColumn(0) + 8);

  Button(panel, "超级按钮5", 656, 10, 64, 27, QStringLiteral("搜索"));
  Button(panel, "超级按钮6", 736, 10, 72, 27, QStringLiteral("随机播放"));

  auto* results = Place<ReportList>(panel, "超级列表框1", 152, 46, 655, 346);
  results->SetColumns({QStringLiteral("ID"), QStringLiteral("种子名称"), QStringLiteral("种子连接"),
                       QStringLiteral("种子大小")},
                      {30, 535, 0, 70});

  auto* busyText = Place<CaptionLabel>(panel, "标签5", 287, 120, 386, 72);
  busyText->SetLineStep(14);  // the busy picture covers the first lines
  busyText->setText(
      QStringLiteral("\n\n\n开始搜索,搜索资源速度与您的网速有关,请您稍后,正在加载!\n"
                     "此时请不要操作本软件,搜索完毕后双击可播放!"));
  busyText->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  busyText->setStyleSheet(
      QStringLiteral("background: #fffbe6; border: 1px solid #e0c060; color: #604000;"));
  busyText->hide();
  auto* busy = Place<BusyPicture>(panel, "图片框7", 397, 128, 165, 24);
  busy->hide();

  auto* status = Place<QLabel>(panel, "种子结果标签", 153, 399, 467, 27);
  status->setFont(DesignFont(Typeface::Song, 12, true));

  Button(panel, "超级按钮7", 728, 399, 72, 27, QStringLiteral("加载更多"));

  auto* disclaimer = Place<TransparentLabel>(panel, "透明标签9", 176, 448, 552, 72);
  disclaimer->setText(QStringLiteral(
      "本搜索器自身不存储任何种子，所列结果均来自网络上公开的种子。\n\n"
      "使用种子搜索器搜索出来的种子均由用户键入的关键词在全球ED2K网络自动搜索获取的结果\n\n"
      "不代表Morvane赞成对被搜索的内容和立场。"));
  disclaimer->setStyleSheet(QStringLiteral("color: red;"));
  disclaimer->setFont(DesignFont(Typeface::Song, 12));
  disclaimer->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  disclaimer->SetLineStep(14);  // five lines in 72 pixels
  return page;
}

QWidget* MainWindow::BuildLibraryPage() {
  QWidget* page = NewPage();
  auto* panel = Place<QWidget>(page, "图片框3", 0, 23, 960, 546);
  EditBox(panel, "编辑框_高清影库", 8, 2, 768, 32,
          QStringLiteral(
              "这里输入播放页面链接地址，支持（搜狐、PPTV、天翼视讯、乐视、奇艺、凤凰、激动网、"
              "PPS、优酷、土豆）等播放页面地址..."));
  Button(panel, "超级按钮10", 792, 2, 72, 32, QStringLiteral("播放"));
  Button(panel, "超级按钮11", 880, 2, 72, 32, QStringLiteral("关闭页面"));
  auto* note = Place<QLabel>(panel, "标签1", 20, 40, 920, 16);
  note->setText(QStringLiteral(
      "说明：高清影库支持免60秒广告等待直接播放国内24家主流视频网的视频,支持免费播放搜狐+PPTV+"
      "天翼视讯+乐视+爱奇艺+凤凰+激动网+PPS的收费视频。"));
  Browser(panel, "高清影库浏览框", 0, 64, 960, 465);
  return page;
}

QWidget* MainWindow::BuildLiveTvPage() {
  QWidget* page = NewPage();
  Browser(page, "电视直播浏览框", 0, 23, 960, 533);
  CloseButton(page, "超级按钮4", 712, 24)->raise();
  return page;
}

void MainWindow::BuildMenus() {
  const struct {
    const char* name;
    QStringList entries;
  } menus[] = {
      {"菜单", {QStringLiteral("在线播放"), QStringLiteral("复制"), QStringLiteral("下载")}},
      {"菜单设置", {QStringLiteral("显示"), QStringLiteral("退出")}},
      {"小菜单", {QStringLiteral("播放"), QStringLiteral("删除"), QStringLiteral("全部保存")}},
  };
  for (const auto& m : menus) {
    auto* menu = new QMenu(this);
    menu->setObjectName(QString::fromUtf8(m.name));
    menu->setTitle(QString::fromUtf8(m.name));
    for (const QString& entry : m.entries) menu->addAction(entry)->setObjectName(entry);
  }
}

QAction* MainWindow::MenuEntry(std::string_view menu, std::string_view entry) const {
  QMenu* m = Menu(menu);
  return m ? m->findChild<QAction*>(NameToQt(entry)) : nullptr;
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) emit sizeChanged();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  emit sizeChanged();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // No question here: a close from the window system ends the program like "退出".
  event->accept();
  emit closeRequested();
}

void MainWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), kStrip);
}

// Dragging by the empty top strip: the window's own strip and the strip of every page.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr) return false;
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton || mouse->position().y() >= kTopStrip) return false;
      if (windowHandle() && windowHandle()->startSystemMove()) return true;
      dragging_ = true;
      dragOffset_ = mouse->globalPosition().toPoint() - frameGeometry().topLeft();
      return true;
    }
    case QEvent::MouseMove:
      if (!dragging_) return false;
      move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - dragOffset_);
      return true;
    case QEvent::MouseButtonRelease:
      if (!dragging_) return false;
      dragging_ = false;
      return true;
    default:
      return false;
  }
}

}  // namespace morvane
