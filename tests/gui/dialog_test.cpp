#include "gui/dialog.h"
#include "gui/message_box.h"
#include "gui/pickers.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using gui::CDialog;

TEST(DialogUnits, BaseUnitsComeFromTheLatinLettersNotTheFullWidthAverage)
{
    const QFont font = gui::DialogFont();
    const gui::DialogBaseUnits units = gui::BaseUnitsOf(font);
    const QFontMetrics metrics(font);
    // The CJK font's average is a full-width advance; the platform's base is half of that or less.
    EXPECT_LT(units.x * 3, metrics.averageCharWidth() * 2);
    EXPECT_EQ(units.y, metrics.height());
    // The main window's 300 units are about 525 pixels here, never the 900 of the CJK average.
    const QRect main = gui::MapDialogRect(units, 0, 0, 300, 287);
    EXPECT_GT(main.width(), 420);
    EXPECT_LT(main.width(), 640);
}

TEST(DialogUnits, MapDialogRectRoundsAsMulDiv)
{
    const gui::DialogBaseUnits units{7, 17};
    EXPECT_EQ(gui::MapDialogRect(units, 7, 66, 271, 101), QRect(12, 140, 474, 215));
    // Halves round away from zero: 2 * 7 / 4 = 3.5 -> 4, 4 * 17 / 8 = 8.5 -> 9.
    EXPECT_EQ(gui::MapDialogRect(units, 2, 4, 0, 0), QRect(4, 9, 0, 0));
}

class TwoButtonDialog : public CDialog {
public:
    TwoButtonDialog() : CDialog(900, 200, 100, u"测试", nullptr) {}
    bool swallowKeys = false;
    int okCalls = 0;

protected:
    bool OnInitDialog() override
    {
        AddLabel(u"名称：", 5, 8);
        AddEdit(1010, 40, 6, 100, 12);
        AddButton(IDOK, u"确定", 40, 80, 50, 14, gui::ButtonStyle::default_push);
        AddButton(IDCANCEL, u"取消", 100, 80, 50, 14);
        return true;
    }
    void OnOK() override
    {
        ++okCalls;
        EndDialog(IDOK);
    }
    bool PreTranslateKey(QKeyEvent* event) override
    {
        return swallowKeys && (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return);
    }
};

// Runs the dialog modally and presses one key into its focused control once it shows.
int run_with_key(TwoButtonDialog& dialog, Qt::Key key, bool thenClose = false)
{
    QTimer::singleShot(0, &dialog, [&dialog, key, thenClose] {
        QWidget* target = dialog.focusWidget() ? dialog.focusWidget() : &dialog;
        QTest::keyClick(target, key);
        if (thenClose && dialog.isVisible())
            dialog.EndDialog(42);
    });
    return dialog.DoModal();
}

TEST(Dialog, ControlsAreNamedByIdAndPlacedInDialogUnits)
{
    TwoButtonDialog dialog;
    dialog.Create();
    const gui::DialogBaseUnits units = dialog.BaseUnits();
    EXPECT_EQ(dialog.size(), gui::MapDialogRect(units, 0, 0, 200, 100).size());
    auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("1010"));
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->geometry(), gui::MapDialogRect(units, 40, 6, 100, 12));
    EXPECT_EQ(dialog.GetDlgItem(IDOK), dialog.findChild<QPushButton*>(QStringLiteral("1")));
    dialog.SetDlgItemText(1010, u"保险箱");
    EXPECT_EQ(dialog.GetDlgItemText(1010), u"保险箱");
    // The framework gives the first tab stop the focus.
    EXPECT_EQ(dialog.focusWidget(), edit);
}

TEST(Dialog, EnterRunsTheDefaultButtonAndEscapeCancels)
{
    TwoButtonDialog enter;
    EXPECT_EQ(run_with_key(enter, Qt::Key_Return), IDOK);
    EXPECT_EQ(enter.okCalls, 1);

    TwoButtonDialog escape;
    EXPECT_EQ(run_with_key(escape, Qt::Key_Escape), IDCANCEL);
    EXPECT_EQ(escape.okCalls, 0);

    TwoButtonDialog swallowing;
    swallowing.swallowKeys = true;
    EXPECT_EQ(run_with_key(swallowing, Qt::Key_Escape, true), 42);
    TwoButtonDialog swallowingEnter;
    swallowingEnter.swallowKeys = true;
    EXPECT_EQ(run_with_key(swallowingEnter, Qt::Key_Return, true), 42);
    EXPECT_EQ(swallowingEnter.okCalls, 0);
}

TEST(Dialog, CloseBoxTakesTheCancelPath)
{
    TwoButtonDialog dialog;
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.close(); });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
}

TEST(MessageBoxHook, RecordsEveryBoxAndAnswersInOrder)
{
    gui::MessageBoxHook boxes;
    boxes.SetNextAnswer(IDOK);
    boxes.SetNextAnswer(IDYES);
    EXPECT_EQ(gui::MessageBox(nullptr, u"保险箱驱动不存在!", nullptr, MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(gui::AppMessageBox(nullptr, u"确认删除?", MB_YESNO), IDYES);
    // Unanswered questions get the answer that abandons the step.
    EXPECT_EQ(gui::AppMessageBox(nullptr, u"再次确认?", MB_YESNO | MB_ICONQUESTION), IDNO);

    const auto& shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].caption, u"错误");
    EXPECT_EQ(shown[0].type, UINT(MB_OK | MB_ICONERROR));
    EXPECT_TRUE(shown[0].answered);
    EXPECT_EQ(shown[1].caption, u"Lockbin");
    EXPECT_FALSE(shown[2].answered);
    EXPECT_EQ(boxes.Texts(),
              (std::vector<std::u16string>{u"保险箱驱动不存在!", u"确认删除?", u"再次确认?"}));
}

TEST(MessageBox, RealBoxShowsChineseButtonsAndMapsTheClick)
{
    QString seenYes;
    QString seenTitle;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        seenTitle = box->windowTitle();
        for (QAbstractButton* button : box->buttons()) {
            if (button->text().startsWith(QStringLiteral("是"))) {
                seenYes = button->text();
                button->click();
            }
        }
    });
    poll.start(10);
    EXPECT_EQ(gui::MessageBox(nullptr, u"继续?", u"继续创建", MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(seenTitle, QStringLiteral("继续创建"));
    EXPECT_EQ(seenYes, QStringLiteral("是(&Y)"));
}

TEST(PickerHook, AnswersPickersAndPickFolderRefusesOverlongPaths)
{
    gui::PickerHook pickers;
    pickers.SetNextAnswer(u"D:\\Vaults");
    pickers.SetNextAnswer(std::u16string(u"D:\\") + std::u16string(257, u'a'));
    EXPECT_EQ(gui::PickFolder(u"选择文件夹", nullptr), u"D:\\Vaults");
    EXPECT_EQ(gui::PickFolder(u"选择文件夹", nullptr), u"");
    // With the queue empty the picker is cancelled.
    EXPECT_EQ(gui::PickOpenFile(nullptr, u"导入", u"保险箱文件 (*.lkb)", u""), u"");
    ASSERT_EQ(pickers.Shown().size(), 3u);
    EXPECT_EQ(pickers.Shown()[0].title, u"选择文件夹");
    EXPECT_EQ(pickers.Shown()[2].kind, gui::PickerKind::open_file);
    EXPECT_EQ(pickers.Shown()[2].filter, u"保险箱文件 (*.lkb)");
}

} // namespace
