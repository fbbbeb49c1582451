// Drops from the file manager, synthesized as the window system delivers
// them: enter, then drop, with the names as text/uri-list.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QUrl>

#include "app/ShellDropTarget.h"

namespace qnzb::app {
namespace {

// Sends enter and drop of `urls` to `surface`; true when the drop was taken.
bool Drop(QWidget* surface, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(surface, &enter);
  QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(surface, &drop);
  return drop.isAccepted();
}

QList<QUrl> Files(const QStringList& names) {
  QList<QUrl> urls;
  for (const QString& name : names)
    urls.append(QUrl::fromLocalFile(name));
  return urls;
}

struct TDropSink {
  std::vector<int32_t> counts;
  void Attach(TExDragDrop& target) {
    target.OnDropped = [this, &target](TExDragDrop* sender, int32_t count) {
      EXPECT_EQ(sender, &target);
      counts.push_back(count);
    };
  }
};

TEST(ShellDropTarget, EachDropReplacesItemsInOrder) {
  QLabel label;
  TExDragDrop target;
  TDropSink sink;
  sink.Attach(target);
  target.SetControl(&label);
  EXPECT_TRUE(label.acceptDrops());

  const struct {
    QList<QUrl> urls;
    QStringList items;
  } drops[] = {
      {Files({"/tmp/a.txt", "/tmp/b b.txt", "/tmp/folder"}), {"/tmp/a.txt", "/tmp/b b.txt", "/tmp/folder"}},
      {Files({"/home/x/\u00e4.bin"}), {"/home/x/\u00e4.bin"}},
      // Remote addresses are no file names: only the local ones count.
      {{QUrl("https://example.org/x"), QUrl::fromLocalFile("/tmp/c")}, {"/tmp/c"}},
  };
  std::vector<int32_t> expected;
  for (const auto& drop : drops) {
    EXPECT_TRUE(Drop(&label, drop.urls));
    EXPECT_EQ(target.Items(), drop.items);
    expected.push_back(static_cast<int32_t>(drop.items.size()));
  }
  EXPECT_EQ(sink.counts, expected);
}

TEST(ShellDropTarget, DropsWithoutLocalFilesPassOn) {
  QLabel label;
  TExDragDrop target;
  TDropSink sink;
  sink.Attach(target);
  target.SetControl(&label);
  EXPECT_FALSE(Drop(&label, {QUrl("ftp://example.org/a")}));
  EXPECT_FALSE(Drop(&label, {}));
  EXPECT_TRUE(sink.counts.empty());
  EXPECT_TRUE(target.Items().isEmpty());
}

TEST(ShellDropTarget, ControlSetterAttachesOnceAndDetaches) {
  QLabel label;
  TExDragDrop target;
  TDropSink sink;
  sink.Attach(target);
  target.SetControl(&label);
  target.SetControl(&label);
  EXPECT_EQ(target.Control(), &label);
  EXPECT_TRUE(Drop(&label, Files({"/tmp/a"})));
  EXPECT_EQ(sink.counts, std::vector<int32_t>{1});

  target.SetControl(nullptr);
  EXPECT_EQ(target.Control(), nullptr);
  EXPECT_FALSE(label.acceptDrops());
  EXPECT_FALSE(Drop(&label, Files({"/tmp/b", "/tmp/c"})));
  EXPECT_EQ(sink.counts, std::vector<int32_t>{1});
  EXPECT_EQ(target.Items(), QStringList{"/tmp/a"});

  // Moving to another control leaves the first one alone.
  QLabel other;
  target.SetControl(&label);
  target.SetControl(&other);
  EXPECT_FALSE(Drop(&label, Files({"/tmp/d"})));
  EXPECT_TRUE(Drop(&other, Files({"/tmp/e", "/tmp/f"})));
  EXPECT_EQ(sink.counts, (std::vector<int32_t>{1, 2}));
}

TEST(ShellDropTarget, ListsTakeDropsOnTheirViewport) {
  QListWidget list;
  TExDragDrop target;
  TDropSink sink;
  sink.Attach(target);
  target.SetControl(&list);
  EXPECT_TRUE(DeliverFileDrop(&list, {"/tmp/a", "/tmp/b"}));
  EXPECT_EQ(target.Items(), (QStringList{"/tmp/a", "/tmp/b"}));
  EXPECT_EQ(list.count(), 0); // the drop is ours, not the list's own
  EXPECT_EQ(sink.counts, std::vector<int32_t>{2});
}

TEST(ShellDropTarget, ForgetsAControlDestroyedWhileAttached) {
  TExDragDrop target;
  {
    QLabel label;
    target.SetControl(&label);
  }
  EXPECT_EQ(target.Control(), nullptr);
  QLabel next;
  target.SetControl(&next);
  EXPECT_EQ(target.Control(), &next);
}

} // namespace
} // namespace qnzb::app
