#include "ui/PageImage.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"

namespace {

// A read-only stream over bytes it does not own: the resource is mapped
// with the module, so there is nothing to copy.
class CByteStream : public IStream {
public:
    CByteStream(const BYTE* data, ULONG size) : m_pData(data), m_nSize(size) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the caller's stack; the count only has to balance.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_nRefs; }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override
    {
        ULONG n = m_nSize - m_nPos < count ? m_nSize - m_nPos : count;
        memcpy(buffer, m_pData + m_nPos, n);
        m_nPos += n;
        if (read)
            *read = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override
    {
        LONGLONG base = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? m_nPos : m_nSize;
        LONGLONG pos = base + move.QuadPart;
        if (origin > STREAM_SEEK_END || pos < 0 || pos > m_nSize)
            return STG_E_INVALIDFUNCTION;
        m_nPos = (ULONG)pos;
        if (newPos)
            newPos->QuadPart = m_nPos;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override
    {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override
    {
        memset(stat, 0, sizeof *stat);
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = m_nSize;
        stat->grfMode = STGM_READ;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    const BYTE* m_pData;
    ULONG m_nSize;
    ULONG m_nPos = 0;
    ULONG m_nRefs = 1;
};

}    // namespace

bool CPageImage::Load(WORD resourceId)
{
    DWORD size = 0;
    const BYTE* bytes = LoadResourceBytes(resourceId, "IMAGE", &size);
    if (!bytes)
        return false;
    CByteStream stream(bytes, size);
    return Load(&stream);
}

// oleaut32's OleLoadPicture, else olepro32's, where the first Windows 95
// (without a newer oleaut32) has it; with neither no picture loads.
static HRESULT LoadPicture(IStream* stream, REFIID iid, void** picture)
{
    static const decltype(&::OleLoadPicture) load = [] {
        decltype(&::OleLoadPicture) function;
        if (!ResolveFunction(LoadSystemLibrary("oleaut32.dll"), "OleLoadPicture", function))
            ResolveFunction(LoadSystemLibrary("olepro32.dll"), "OleLoadPicture", function);
        return function;
    }();
    *picture = nullptr;
    return load ? load(stream, 0, FALSE, iid, picture) : E_NOTIMPL;
}

bool CPageImage::Load(IStream* stream)
{
    Free();
    // Size 0: the picture object reads the whole stream.
    if (LoadPicture(stream, IID_IPicture, (void**)&m_pPicture) != S_OK && m_pPicture) {
        m_pPicture->Release();
        m_pPicture = nullptr;
    }
    return true;
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
    HDC target = dc ? dc : GetDC(nullptr);
    // HIMETRIC is hundredths of a millimetre: 2540 to the inch.
    size.cx = MulDiv(w, GetDeviceCaps(target, LOGPIXELSX), 2540);
    size.cy = MulDiv(h, GetDeviceCaps(target, LOGPIXELSY), 2540);
    if (!dc)
        ReleaseDC(nullptr, target);
    return size;
}

bool CPageImage::Render(HDC dc, RECT rect, const RECT* bounds)
{
    if (!rect.left && !rect.top && !rect.right && !rect.bottom) {
        SIZE size = GetImageSize(dc);
        rect.right = size.cx;
        rect.bottom = size.cy;
    }
    if (!m_pPicture)
        return true;
    OLE_XSIZE_HIMETRIC w = 0;
    OLE_YSIZE_HIMETRIC h = 0;
    m_pPicture->get_Width(&w);
    m_pPicture->get_Height(&h);
    // HIMETRIC runs upwards: start at the bottom with a negative height to
    // draw the picture upright.
    m_pPicture->Render(dc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, 0, h, w, -h, bounds);
    return true;
}

void CPageImage::Free()
{
    if (m_pPicture)
        m_pPicture->Release();
    m_pPicture = nullptr;
}
