#include "ui/PageImage.h"

BOOL CPageImage::Load(UINT resourceId)
{
    Free();
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(resourceId), "IMAGE");
    DWORD size = res ? SizeofResource(self, res) : 0;
    HGLOBAL loaded = size ? LoadResource(self, res) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return FALSE;
    m_hGlobal = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!m_hGlobal)
        return FALSE;
    memcpy(GlobalLock(m_hGlobal), bytes, size);
    GlobalUnlock(m_hGlobal);
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(m_hGlobal, FALSE, &stream) != S_OK)
        return FALSE;
    HRESULT hr = OleLoadPicture(stream, (LONG)size, FALSE, IID_IPicture, (void**)&m_pPicture);
    stream->Release();
    if (hr != S_OK || !m_pPicture) {
        m_pPicture = nullptr;
        return FALSE;
    }
    return TRUE;
}

SIZE CPageImage::GetImageSize(HDC dc) const
{
    SIZE size = {0, 0};
    if (!m_pPicture)
        return size;
    OLE_XSIZE_HIMETRIC w = 0;
    OLE_YSIZE_HIMETRIC h = 0;
    m_pPicture->get_Width(&w);
    m_pPicture->get_Height(&h);
    HDC screen = dc ? dc : GetDC(nullptr);
    size.cx = MulDiv(w, GetDeviceCaps(screen, LOGPIXELSX), 2540);
    size.cy = MulDiv(h, GetDeviceCaps(screen, LOGPIXELSY), 2540);
    if (!dc)
        ReleaseDC(nullptr, screen);
    return size;
}

BOOL CPageImage::Render(HDC dc, const RECT& rect)
{
    if (!m_pPicture)
        return FALSE;
    OLE_XSIZE_HIMETRIC w = 0;
    OLE_YSIZE_HIMETRIC h = 0;
    m_pPicture->get_Width(&w);
    m_pPicture->get_Height(&h);
    RECT target = rect;
    if (IsRectEmpty(&target)) {
        SIZE size = GetImageSize(dc);
        SetRect(&target, 0, 0, size.cx, size.cy);
    }
    return m_pPicture->Render(dc, target.left, target.top, target.right - target.left, target.bottom - target.top, 0,
                              h, w, -h, nullptr) == S_OK;
}

void CPageImage::Free()
{
    if (m_pPicture)
        m_pPicture->Release();
    m_pPicture = nullptr;
    if (m_hGlobal)
        GlobalFree(m_hGlobal);
    m_hGlobal = nullptr;
}
