// The skin: the style sheet texts as the windows apply them, the artwork the build renders,
// and a window that still works when the artwork folder is missing.

#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "skin.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <iterator>

using namespace testsupport;

namespace {

TEST(SkinStyleSheets, FillTemplatesWithDownImageSecondAndOverImageThird)
{
    EXPECT_EQ(skin::buttonStyleSheet(skin::ButtonTemplate::FourStates, "/opt/t", "a.png",
                      "a_down.png", "a_over.png", "a_inactive.png"),
            "QPushButton {border-image:url(/opt/t/ui/a.png); }\\QPushButton:hover:pressed "
            "{border-image:url(/opt/t/ui/a_down.png);font-size:24px;}\\ QPushButton:hover:!pressed "
            "{border-image:url(/opt/t/ui/a_over.png);font-size:24px;}\\QPushButton:disabled "
            "{border-image:url(/opt/t/ui/a_inactive.png);font-size:24px;}");
    EXPECT_EQ(skin::buttonStyleSheet(skin::ButtonTemplate::FourStatesSpaced, "/opt/t", "s.png",
                      "s_down.png", "s_over.png", "s_inactive.png"),
            "QPushButton {border-image:url(/opt/t/ui/s.png); }\\QPushButton:hover:pressed "
            "{border-image:url(/opt/t/ui/s_down.png);font-size:24px;}\\ QPushButton:hover:!pressed "
            "{border-image:url(/opt/t/ui/s_over.png);font-size:24px;}\\QPushButton:disabled   "
            "{border-image:url(/opt/t/ui/s_inactive.png);font-size:24px;}");
    EXPECT_EQ(skin::dialogButtonStyleSheet("/opt/t", "btn_ok"),
            "QPushButton {border-image:url(/opt/t/ui/btn_ok.png); }\\QPushButton:hover:pressed "
            "{border-image:url(/opt/t/ui/btn_ok_down.png);font-size:24px;}\\ "
            "QPushButton:hover:!pressed "
            "{border-image:url(/opt/t/ui/btn_ok_over.png);font-size:24px;}");
    EXPECT_EQ(skin::dialogStyleSheet("/opt/t"),
            "QDialog {border-image:  url(/opt/t/ui/edit_profile_bg.png)  5;} ");
}

TEST(SkinStyleSheets, MainWindowWidgetsCarryTheirSheetsInOrder)
{
    TempHome home;
    MainWindow window;
    MainWindowProbe probe(window);
    const QString dir = QCoreApplication::applicationDirPath();

    const auto sheets = skin::mainWindowStyleSheets(dir);
    QStringList order;
    for (const skin::WidgetStyle &style : sheets) {
        order << style.objectName;
        EXPECT_EQ(probe.widget<QWidget>(style.objectName)->styleSheet(), style.styleSheet)
                << style.objectName;
    }
    EXPECT_EQ(order,
            QStringList(
                    { "centralWidget", "listViewProfile", "BtnLogin", "BtnAdd", "BtnDel", "BtnEdit",
                            "BtnSelectApp", "BtnStop", "BtnShare", "BtnLogout", "progressBar" }));
    EXPECT_EQ(sheets.front().styleSheet,
            "#centralWidget{background-image: url(" + dir + "/ui/main_bg.png) 3 10 3 10;} ");
    EXPECT_EQ(probe.widget<QWidget>("BtnLogout")->styleSheet(),
            skin::buttonStyleSheet(skin::ButtonTemplate::ThreeStates, dir, "btn_logout.png",
                    "btn_logout_down.png", "btn_logout_over.png"));
    EXPECT_TRUE(probe.widget<QWidget>("BtnShare")
                        ->styleSheet()
                        .contains(dir + "/ui/btn_share_inactive.png"));
    EXPECT_EQ(probe.widget<QWidget>("progressBar")->styleSheet(),
            "QProgressBar {border: 1px solid grey; border-radius: 8px; padding: 1px;  "
            "background-color: #474747}");
    EXPECT_EQ(probe.widget<QWidget>("listViewProfile")->styleSheet(),
            "QListView{border-image: url(" + dir
                    + "/ui/profile_bg.png) 3 10 3 10;}\\QListView::item{ color:#D0D0D0; font: "
                      "1pt; background-color: transparent; border: 0px;} "
                      "\\QListView::item:selected{color: #FFFFFF ;background-color: "
                      "#286CA8;border: 0px;}");
}

TEST(SkinArtwork, EveryImageExistsAtItsExactPixelSize)
{
    const QString dir = QCoreApplication::applicationDirPath() + "/ui/";
    int resources = 0;
    for (const skin::Artwork &art : skin::artwork()) {
        const QString path =
                art.inResource ? ":/new/prefix1/ui/" + art.fileName : dir + art.fileName;
        QImageReader reader(path);
        ASSERT_TRUE(reader.canRead()) << qPrintable(path);
        const QImage image = reader.read();
        EXPECT_EQ(image.size(), art.size) << qPrintable(path);
        if (art.fileName.endsWith(".ico")) {
            EXPECT_EQ(reader.imageCount(), 1) << qPrintable(path);
            EXPECT_TRUE(image.hasAlphaChannel()) << "32 bits per pixel: " << qPrintable(path);
        }
        resources += art.inResource;
        // Drawn once more at twice the size, where the windows load the one as the other.
        if (skin::hasHiDpiVersion(art)) {
            const QString sharp =
                    path.left(path.lastIndexOf('/') + 1) + skin::hiDpiFileName(art.fileName);
            EXPECT_EQ(QImage(sharp).size(), art.size * skin::HiDpiScale) << qPrintable(sharp);
        }
    }
    EXPECT_EQ(resources, 5 + int(std::size(skin::IconSizes)));
    // Every image a style sheet names is there.
    for (const skin::WidgetStyle &style :
            skin::mainWindowStyleSheets(QCoreApplication::applicationDirPath())) {
        static const QRegularExpression url("url\\(([^)]*)\\)");
        for (const auto &match : url.globalMatch(style.styleSheet))
            EXPECT_TRUE(QFile::exists(match.captured(1))) << qPrintable(match.captured(1));
    }
}

// Runs only inside a copy of this test program placed in a folder without "ui" (see below).
TEST(SkinWithoutArtwork, DISABLED_WindowOpensAndWorks)
{
    ASSERT_FALSE(QDir(QCoreApplication::applicationDirPath() + "/ui").exists());
    TempHome home;
    MainWindow window;
    MainWindowProbe probe(window);
    window.show();
    processEventsFor(100ms);
    EXPECT_FALSE(window.grab().isNull()) << "painting with missing images";
    window.beginLoginWait();
    processEventsFor(50ms);
    window.endLoginWait();
    window.hideLoginPage();
    window.showSharePage();
    probe.widget<QPushButton>("BtnShare")->setEnabled(false);
    probe.widget<QRadioButton>("QRadioBtnDesktop")->click();
    EXPECT_TRUE(probe.widget<QPushButton>("BtnShare")->isEnabled());
    window.hideSharePage();
    window.showLoginPage();
    EXPECT_TRUE(window.close());
}

TEST(SkinWithoutArtwork, CopyWithoutTheFolderPasses)
{
    QTemporaryDir dir;
    const QString copy = dir.filePath("shell-without-artwork");
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), copy));
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(copy,
            { "--gtest_also_run_disabled_tests",
                    "--gtest_filter=SkinWithoutArtwork.DISABLED_WindowOpensAndWorks" });
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << qPrintable(output);
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << qPrintable(output);
}

} // namespace
