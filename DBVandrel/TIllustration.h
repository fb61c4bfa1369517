// SPDX-License-Identifier: MIT
#pragma once

#include <QFrame>

/// The strip at the top of the window: the way a database travels, drawn as five stations from left to right
/// (the source server, its archive, the FTP server, the archive on the receiving side, the target server). A step
/// at work shows its arrow over the station it works on.
class TIllustration : public QFrame
{
    Q_OBJECT
public:
    explicit TIllustration(QWidget* aParent = nullptr);

    /// The stations, left to right.
    enum TStation : int { stSource, stSentArchive, stFtpServer, stReceivedArchive, stTarget, stStationCount };

    /// The station a step works on: aUp tells the direction (sending, or receiving), aLeft the step's place along
    /// the strip (24 the database, 48 the archive, 72 the FTP server).
    static TStation StationOf(bool aUp, int aLeft);
    /// The horizontal centre of a station in the strip's coordinates.
    int StationCentre(TStation aStation) const;

protected:
    void paintEvent(QPaintEvent* aEvent) override;
};
