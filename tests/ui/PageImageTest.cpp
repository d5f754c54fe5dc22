#include <gtest/gtest.h>
#include "support/Canvas.h"
#include "ui/PageImage.h"


static bool ScreenIs96Dpi()
{
    HDC screen = GetDC(nullptr);
    bool is96 = GetDeviceCaps(screen, LOGPIXELSX) == 96 && GetDeviceCaps(screen, LOGPIXELSY) == 96;
    ReleaseDC(nullptr, screen);
    return is96;
}

TEST(PageImage, SizeOfEmptyAndLoadedPages)
{
    CPageImage image;
    SIZE size = image.GetImageSize();
    EXPECT_EQ(0, size.cx);
    EXPECT_EQ(0, size.cy);
    ASSERT_TRUE(image.Load(172));
    ASSERT_NE(nullptr, image.m_pPicture);
    if (!ScreenIs96Dpi())
        GTEST_SKIP() << "page sizes are given for 96 dots per inch";
    size = image.GetImageSize();
    EXPECT_EQ(524, size.cx);
    EXPECT_EQ(338, size.cy);
    ASSERT_TRUE(image.Load(146));
    EXPECT_EQ(523, image.GetImageSize().cx);
}

TEST(PageImage, MissingResourceKeepsThePictureAndJunkLeavesTheHolderEmpty)
{
    CPageImage image;
    ASSERT_TRUE(image.Load(172));
    IPicture* held = image.m_pPicture;
    EXPECT_FALSE(image.Load(999));
    EXPECT_EQ(held, image.m_pPicture);

    EXPECT_TRUE(image.Load(500));
    EXPECT_EQ(nullptr, image.m_pPicture);
    EXPECT_EQ(0, image.GetImageSize().cx);
}

TEST(PageImage, SecondLoadGivesBackTheFirstPicture)
{
    CPageImage image;
    ASSERT_TRUE(image.Load(172));
    IPicture* first = image.m_pPicture;
    first->AddRef();
    ASSERT_TRUE(image.Load(142));
    EXPECT_NE(first, image.m_pPicture);
    EXPECT_EQ(0u, first->Release());
    image.Free();
    EXPECT_EQ(nullptr, image.m_pPicture);
}

TEST(PageImage, RenderAtNaturalSizeScaledOrNotAtAll)
{
    if (!ScreenIs96Dpi())
        GTEST_SKIP() << "page sizes are given for 96 dots per inch";
    CPageImage image;
    ASSERT_TRUE(image.Load(172));
    {
        Canvas canvas(600, 400);
        RECT natural = {0, 0, 0, 0};
        EXPECT_TRUE(image.Render(canvas.dc, natural));
        EXPECT_NE(Canvas::kUntouched, canvas.At(0, 100));
        EXPECT_NE(Canvas::kUntouched, canvas.At(523, 337));
        EXPECT_EQ(Canvas::kUntouched, canvas.At(524, 100));
        EXPECT_EQ(Canvas::kUntouched, canvas.At(100, 338));
        EXPECT_EQ(524 * 338, canvas.Touched());
    }
    {
        Canvas canvas(600, 400);
        RECT half = {0, 0, 262, 169};
        image.Render(canvas.dc, half);
        EXPECT_EQ(262 * 169, canvas.Touched());
    }
    {
        Canvas canvas(600, 400);
        RECT flat = {0, 0, 0, 10};
        EXPECT_TRUE(image.Render(canvas.dc, flat));
        EXPECT_EQ(0, canvas.Touched());
    }
    {
        // Upright: the title strip is at the top, the button band at the bottom.
        Canvas natural(524, 338);
        RECT all = {0, 0, 0, 0};
        image.Render(natural.dc, all);
        COLORREF logo = natural.At(25, 18);
        EXPECT_GT(GetBValue(logo), GetRValue(logo) + 100);
        EXPECT_EQ(RGB(214, 219, 226), natural.At(10, 330));
    }
    CPageImage empty;
    Canvas canvas(100, 100);
    RECT natural = {0, 0, 0, 0};
    EXPECT_TRUE(empty.Render(canvas.dc, natural));
    EXPECT_EQ(0, canvas.Touched());
}
