// CChildFrame: the frame of one playlist window. GUI thread only.
#pragma once

#include <QObject>
#include <QRect>
#include <QSize>

#include "framework/FrameWnd.h"

// The user settings' key of one studio's playlist, "studio|playlist" (a
// slash would start a group, so it and a backslash become "_").
String PlaylistSettingsKey(const String& studio, const String& playlist);

class CChildFrame : public CMDIChildWnd {
    DECLARE_DYNCREATE(CChildFrame)

public:
    CChildFrame();
    ~CChildFrame() override;
    // The clock pane is enabled while a playlist window is active too.
    void OnUpdateClock(CCmdUI* ui);

    // The window's place in the MDI area is kept in the user settings
    // ("Windows/<key>") when the window closes, as a share of the area, so
    // that it comes back in the same arrangement on any screen. Only a
    // window given a key (a studio's playlist, by session start) is kept;
    // a wall display keeps none.
    void SetPlaceKey(const String& key);
    const String& PlaceKey() const { return m_placeKey; }
    // The place saved for key, scaled to an area of that size; an empty
    // rect when none is saved or it is unreadable.
    static QRect SavedPlace(const String& key, const QSize& area);

protected:
    void OnDestroy() override;

private:
    // Follows the sub window's moves and resizes while it is shown in its
    // normal state (the frame is gone by the time OnDestroy runs).
    struct PlaceWatch : QObject {
        bool eventFilter(QObject* watched, QEvent* event) override;
        CChildFrame* m_frame = nullptr;
    };
    PlaceWatch m_watch;
    String m_placeKey;
    QRect m_place;     // in the area's coordinates
    QSize m_areaSize;  // the area's size when m_place was taken
};
