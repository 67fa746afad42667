// The viewer in a real window. Runs under a virtual X server (xvfb-run): a
// watcher thread with its own X connection finds the "3D Viewer" window,
// grabs what it shows into a PNG, checks the colours, and closes the window
// the way a window manager would, which must end visual_pc.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPNGWriter.h>

#include "cloud_view.h"
#include "sample_scene.h"
#include "support/test_support.h"

// Xlib's macros (Success, None, ...) clash with Eigen and gtest names: last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

Window findWindow(Display* display, Window parent, const std::string& title)
{
    char* name = nullptr;
    if (XFetchName(display, parent, &name) && name) {
        const bool match = title == name;
        XFree(name);
        if (match) return parent;
    }
    Window root, up, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root, &up, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) found = findWindow(display, children[i], title);
    if (children) XFree(children);
    return found;
}

struct Screenshot {
    bool windowFound = false;
    int width = 0;
    int height = 0;
    long blackPixels = 0;
    long redPixels = 0;    // the colour of the first half of the cloud
    long greenPixels = 0;  // the colour of the second half
    long otherPixels = 0;
};

// Grabs the window into `png` and counts pixels by colour.
Screenshot grab(Display* display, Window window, const std::string& png)
{
    Screenshot shot;
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image) return shot;
    shot.windowFound = true;
    shot.width = attributes.width;
    shot.height = attributes.height;

    vtkNew<vtkImageData> data;
    data->SetDimensions(shot.width, shot.height, 1);
    data->AllocateScalars(VTK_UNSIGNED_CHAR, 3);
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            const int r = (pixel >> 16) & 255, g = (pixel >> 8) & 255, b = pixel & 255;
            // PNG rows run top-down, VTK images bottom-up.
            auto* out = static_cast<unsigned char*>(data->GetScalarPointer(x, shot.height - 1 - y, 0));
            out[0] = static_cast<unsigned char>(r);
            out[1] = static_cast<unsigned char>(g);
            out[2] = static_cast<unsigned char>(b);
            if (r == 0 && g == 0 && b == 0) ++shot.blackPixels;
            else if (r > 200 && g < 60 && b < 60) ++shot.redPixels;
            else if (g > 200 && r < 60 && b < 60) ++shot.greenPixels;
            else ++shot.otherPixels;
        }
    }
    XDestroyImage(image);
    vtkNew<vtkPNGWriter> writer;
    writer->SetFileName(png.c_str());
    writer->SetInputData(data);
    writer->Write();
    return shot;
}

void closeWindow(Display* display, Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", True);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

// Waits for the "3D Viewer" window, calls `whileOpen`, grabs the window
// into `png`, then closes it.
Screenshot screenshotAndClose(const std::string& png, const std::function<void()>& whileOpen = {})
{
    Screenshot shot;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return shot;
    Window window = 0;
    for (int i = 0; i < 300 && !window; ++i) {  // up to 30 s for the window to appear
        window = findWindow(display, DefaultRootWindow(display), "3D Viewer");
        if (!window) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (window) {
        if (whileOpen) whileOpen();
        // A loaded machine (or a sanitizer build) can take seconds to draw the
        // first frame: grab until something besides the background shows.
        for (int i = 0; i < 60; ++i) {  // up to 30 s
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            shot = grab(display, window, png);
            if (shot.redPixels + shot.greenPixels + shot.otherPixels > 0) break;
        }
        // The first frame may precede the camera's settling; take a later one.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        shot = grab(display, window, png);
        closeWindow(display, window);
    }
    XCloseDisplay(display);
    return shot;
}

pcl::PointCloud<pcl::PointXYZRGB>::Ptr twoColourGrid()
{
    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    for (int i = 0; i < 40; ++i) {
        for (int j = 0; j < 40; ++j) {
            pcl::PointXYZRGB p;
            p.x = static_cast<float>(i);
            p.y = static_cast<float>(j);
            p.z = 0.0f;
            p.r = i < 20 ? 255 : 0;
            p.g = i < 20 ? 0 : 255;
            p.b = 0;
            p.a = 255;
            cloud->push_back(p);
        }
    }
    return cloud;
}

}  // namespace

TEST(CloudView, empty_cloud_returns_without_a_window)
{
    CLOUDVIEW_NS::CloudView view;
    view.visual_pc(pcl::PointCloud<pcl::PointXYZRGB>::Ptr(new pcl::PointCloud<pcl::PointXYZRGB>));
    SUCCEED();
}

TEST(CloudView, window_shows_the_points_in_their_colours_on_black_until_closed)
{
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run this test under xvfb-run";
    Screenshot shot;
    std::thread watcher([&shot] { shot = screenshotAndClose(VIEWER_SCREENSHOT); });
    CLOUDVIEW_NS::CloudView view;
    view.visual_pc(twoColourGrid());  // returns once the window is closed
    watcher.join();

    ASSERT_TRUE(shot.windowFound) << "no window titled \"3D Viewer\"";
    const long total = static_cast<long>(shot.width) * shot.height;
    EXPECT_GT(shot.blackPixels, total / 4) << "background is not black";
    EXPECT_GT(shot.redPixels, 500) << "red points not drawn";
    EXPECT_GT(shot.greenPixels, 500) << "green points not drawn";
}

// A viewer that is killed or crashes must not lose the run: the result is
// complete on disk while the window is open.
TEST(VelasegViewer, result_is_written_before_the_window_opens_and_the_window_shows_the_planes)
{
    testsupport::TempDir dir;
    velaseg::SceneOptions options;
    options.spacing = 0.2;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), velaseg::makeBuildingScene(options).points));
    const std::string result = dir.file("house_seg_VELA.xyz");
    std::string whileOpen;
    Screenshot shot;
    std::thread watcher([&] {
        shot = screenshotAndClose(VELASEG_SCREENSHOT, [&] { whileOpen = testsupport::readFile(result); });
    });
    const testsupport::CommandResult run =
        testsupport::runCommand(std::string(VELASEG_BINARY_DIR) + "/velaseg '" + dir.file("house.pcd") + "'", dir);
    watcher.join();

    ASSERT_TRUE(shot.windowFound) << run.out << run.err;
    EXPECT_GT(shot.blackPixels, static_cast<long>(shot.width) * shot.height / 4);
    EXPECT_GT(shot.otherPixels + shot.redPixels + shot.greenPixels, 2000);  // coloured planes
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err.find("viewer is skipped"), std::string::npos);
    EXPECT_NE(run.out.find("Total time is: "), std::string::npos);
    EXPECT_GT(whileOpen.size(), 0u);
    EXPECT_EQ(whileOpen, testsupport::readFile(result));
}

TEST(VelasegViewer, no_viewer_option_never_opens_the_window_even_with_a_display)
{
    testsupport::TempDir dir;
    velaseg::SceneOptions options;
    options.spacing = 0.5;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), velaseg::makeBuildingScene(options).points));
    // Would wait for a window that is never closed, were one opened.
    const testsupport::CommandResult run = testsupport::runCommand(
        "timeout 60 " + std::string(VELASEG_BINARY_DIR) + "/velaseg --no-viewer '" + dir.file("house.pcd") + "'", dir);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find("viewer is skipped"), std::string::npos);
    EXPECT_GT(std::filesystem::file_size(dir.file("house_seg_VELA.xyz")), 0u);
}
