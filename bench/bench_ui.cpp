// The form's responsiveness while it sends a large attachment: the real main form sends FILE to a
// server on a loopback port while a 10 ms timer on the UI thread records how late each of its
// ticks comes. Message boxes are answered as a user would, a few milliseconds after they show.
//
//   vellipost-bench-ui PORT FILE
//   -> ticks=... p50_ms=... p99_ms=... max_ms=... max_at_s=... box_ms=... seconds=...
//      file_mbps=... progress_texts=...
// The percentiles and max_ms cover the send up to the first message box; box_ms is the lateness
// once a box has shown.
//
// Exit status 0 only when the form reported success.
#include "ui/mailer_dlg.h"
#include "ui/text.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kTickMs = 10;

template <typename Widget> Widget* Control(const QWidget& form, const char* name) {
    auto* w = form.findChild<Widget*>(QString::fromLatin1(name));
    if (w == nullptr) {
        std::fprintf(stderr, "vellipost-bench-ui: the form has no control %s\n", name);
        std::exit(2);
    }
    return w;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT FILE\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[2]);
    const qint64 fileBytes = QFileInfo(path).size();

    CMailerDlg dlg;
    dlg.Mailer().SetServerForTesting("127.0.0.1", static_cast<std::uint16_t>(std::atoi(argv[1])));
    dlg.show();
    Control<QLineEdit>(dlg, "IDC_USER")->setText(QStringLiteral("bench"));
    Control<QLineEdit>(dlg, "IDC_PASSWORD")->setText(QStringLiteral("bench"));
    Control<QLineEdit>(dlg, "IDC_RECIPIENT")->setText(QStringLiteral("sink@example.com"));
    Control<QLineEdit>(dlg, "IDC_SUBJECT")->setText(QStringLiteral("bench"));
    Control<QPlainTextEdit>(dlg, "IDC_BODY")->setPlainText(QStringLiteral("bench"));
    Control<QLineEdit>(dlg, "IDC_ATTACH_PATH")->setText(path);
    QPushButton* send = Control<QPushButton>(dlg, "IDOK");

    // Answers each box; the success text is the form's own, from the message catalogue.
    const QString success = ui::Words(mail::Msg::SentOk);
    bool sentOk = false;
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (box->text() == success)
                sentOk = true;
            else
                std::fprintf(stderr, "vellipost-bench-ui: box: %s\n", qPrintable(box->text()));
            box->done(QMessageBox::Ok);
        }
    });
    boxes.start(20);

    // Ticks from the click until the first message box shows: the send command on the UI thread,
    // then the worker's transfer. The box that reports the outcome is measured apart: building
    // and showing it is the form's own work, not a wait behind the send.
    std::vector<double> lateMs;
    lateMs.reserve(1 << 16);
    double maxLate = 0;
    double maxAt = 0;   // seconds after the click of the latest tick before the first box
    double boxLate = 0; // the latest tick once a box has shown
    QSet<QString> progressTexts;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    double seconds = 0;
    bool sawSending = false;
    bool sawBox = false;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double late = std::max(0.0, static_cast<double>(now - lastNs) / 1e6 - kTickMs);
        lastNs = now;
        sawBox = sawBox || QApplication::activeModalWidget() != nullptr;
        if (sawBox) {
            boxLate = std::max(boxLate, late);
        } else {
            lateMs.push_back(late);
            if (late > maxLate) {
                maxLate = late;
                maxAt = static_cast<double>(now) / 1e9;
            }
            progressTexts.insert(dlg.m_ctlBlank->text());
        }
        sawSending = sawSending || dlg.Mailer().IsSending();
        if (sawSending && !dlg.Mailer().IsSending()) {
            seconds = static_cast<double>(now) / 1e9;
            ticker.stop();
            // Leave time for the form to reap its worker before it closes.
            QTimer::singleShot(200, &app, &QCoreApplication::quit);
        }
    });

    QTimer::singleShot(100, [&] {
        clock.start();
        ticker.start(kTickMs);
        send->click(); // the send command runs here, on the UI thread, up to the worker's start
        if (!dlg.Mailer().IsSending() && !sawSending) {
            std::fprintf(stderr, "vellipost-bench-ui: the worker did not start\n");
            app.exit(1);
        }
    });
    if (app.exec() != 0)
        return 1;
    dlg.close();

    progressTexts.remove(QString());
    std::printf("ticks=%zu p50_ms=%.2f p99_ms=%.2f max_ms=%.2f max_at_s=%.3f box_ms=%.2f "
                "seconds=%.3f file_mbps=%.1f progress_texts=%lld\n",
                lateMs.size(), Percentile(lateMs, 0.5), Percentile(lateMs, 0.99), maxLate, maxAt,
                boxLate, seconds,
                seconds > 0 ? static_cast<double>(fileBytes) / seconds / 1e6 : 0.0,
                static_cast<long long>(progressTexts.size()));
    return sentOk ? 0 : 1;
}
