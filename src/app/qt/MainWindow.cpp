#include "app/qt/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

namespace pvd {
namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

// A line edit whose double-click is an event of the window.
class DoubleClickLineEdit final : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    std::function<void()> onDoubleClick;

protected:
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        QLineEdit::mouseDoubleClickEvent(e);
        if (onDoubleClick) onDoubleClick();
    }
};

QPixmap DrawIcon(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x4e, 0x8c));
    p.drawRoundedRect(QRectF(0, 0, s, s), s * 0.18, s * 0.18);
    // A microphone: capsule, cradle and stand.
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(s * 0.38, s * 0.12, s * 0.24, s * 0.46), s * 0.12, s * 0.12);
    QPen pen(Qt::white, std::max(1.0, s * 0.08));
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(s * 0.26, s * 0.28, s * 0.48, s * 0.42), 180 * 16, 180 * 16);
    p.drawLine(QPointF(s * 0.5, s * 0.70), QPointF(s * 0.5, s * 0.84));
    p.drawLine(QPointF(s * 0.34, s * 0.86), QPointF(s * 0.66, s * 0.86));
    return pm;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    icon.addPixmap(DrawIcon(16));
    icon.addPixmap(DrawIcon(32));
    return icon;
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName("Form1");
    setWindowTitle("Form1");
    setWindowIcon(AppIcon());

    auto* client = new QWidget(this);
    client->setObjectName("client");
    client->setFixedSize(Twips(5040), Twips(3765));
    // The layout is measured for an 8-point interface font.
    QFont font = client->font();
    font.setPointSize(8);
    client->setFont(font);
    setCentralWidget(client);

    auto label = [&](const char* name, const char* text, int l, int t, int w, int h) {
        auto* lb = new QLabel(text, client);
        lb->setObjectName(name);
        // Fonts differ between desktops: a caption wider than its box widens
        // it to the right, where no control stands.
        lb->setGeometry(Twips(l), Twips(t), std::max(Twips(w), lb->sizeHint().width()), Twips(h));
        return lb;
    };
    auto edit = [&](QLineEdit* e, const char* name, int l, int t, int w, int h) {
        e->setObjectName(name);
        e->setText("Text1");
        e->setGeometry(Twips(l), Twips(t), Twips(w), Twips(h));
        return e;
    };
    label("Label1", "MRN", 240, 240, 1215, 255);
    txtMRN_ = edit(new QLineEdit(client), "txtMRN", 240, 480, 1935, 285);
    label("Label2", "Accession Number", 2880, 240, 1455, 255);
    txtAccession_ = edit(new QLineEdit(client), "txtAccession", 2880, 480, 1935, 285);
    label("Label3", "Study", 240, 960, 975, 255);
    txtStudy_ = edit(new QLineEdit(client), "txtStudy", 240, 1200, 1935, 285);
    label("Label4", "Patient", 2880, 960, 735, 255);
    txtPatient_ = edit(new QLineEdit(client), "txtPatient", 2880, 1200, 1935, 285);
    label("Label6", "User ID", 240, 1680, 975, 255);
    txtUserID_ = edit(new QLineEdit(client), "txtUserID", 240, 1920, 1935, 285);
    label("Label5", "XML File", 240, 2280, 1575, 255);
    auto* xmlFile = new DoubleClickLineEdit(client);
    txtXMLFile_ = edit(xmlFile, "txtXMLFile", 240, 2520, 4095, 375);
    txtXMLFile_->setReadOnly(true);  // shows the path; nothing reads it back
    xmlFile->onDoubleClick = [this] {
        if (form_) form_->txtXMLFile_DblClick();
    };

    cmdXmlFile_ = new QPushButton(client);
    cmdXmlFile_->setObjectName("cmdXmlFile");
    cmdXmlFile_->setGeometry(Twips(4440), Twips(2520), Twips(375), Twips(375));
    cmdXmlFile_->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    cmdXmlFile_->setIconSize(QSize(16, 16));
    cmdXmlFile_->setToolTip("Select the XML File that will be used");

    cmdLaunch_ = new QPushButton("Launch", client);
    cmdLaunch_->setObjectName("cmdLaunch");
    cmdLaunch_->setGeometry(Twips(3720), Twips(3120), Twips(1095), Twips(495));

    // Keyboard order by tab index; labels never take the focus.
    QWidget* order[] = {txtMRN_, txtAccession_, txtStudy_, txtPatient_, cmdLaunch_, txtXMLFile_, cmdXmlFile_, txtUserID_};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    mnuFile_ = menuBar()->addMenu("File");
    mnuFile_->setObjectName("mnuFile");
    mnuLaunch_ = mnuFile_->addAction("Launch File");
    mnuLaunch_->setObjectName("mnuLaunch");
    mnuClose_ = mnuFile_->addAction("Close");
    mnuClose_->setObjectName("mnuClose");
    mnuFile_->addSeparator()->setObjectName("mnuSep");
    mnuExit_ = mnuFile_->addAction("Exit");
    mnuExit_->setObjectName("mnuExit");

    timer1_.setObjectName("Timer1");
    timer1_.setInterval(1000);
    recheck_.setSingleShot(true);

    tray_.setIcon(AppIcon());
    tray_.setContextMenu(mnuFile_);
}

void MainWindow::Attach(Form1* form) {
    form_ = form;
    connect(cmdLaunch_, &QPushButton::clicked, this, [this] { form_->cmdLaunch_Click(); });
    connect(cmdXmlFile_, &QPushButton::clicked, this, [this] { form_->cmdXmlFile_Click(); });
    connect(mnuLaunch_, &QAction::triggered, this, [this] { form_->mnuLaunch_Click(); });
    connect(mnuClose_, &QAction::triggered, this, [this] { form_->mnuClose_Click(); });
    connect(mnuExit_, &QAction::triggered, this, [this] { form_->mnuExit_Click(); });
    for (QLineEdit* e : {txtMRN_, txtAccession_, txtStudy_, txtPatient_, txtUserID_})
        connect(e, &QLineEdit::textEdited, this, [this] { OrderEdited(); });
    connect(&timer1_, &QTimer::timeout, this, [this] { Tick(); });
    connect(&recheck_, &QTimer::timeout, this, [this] { form_->RecheckOrderFile(); });
    if (watch_.descriptor() >= 0) {
        watchNotifier_ = new QSocketNotifier(watch_.descriptor(), QSocketNotifier::Read, this);
        watchNotifier_->setEnabled(false);  // from the start of the watch on
        connect(watchNotifier_, &QSocketNotifier::activated, this, [this] { OnWatchReadable(); });
    }
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) { OnTrayActivated(r); });
}

void MainWindow::OrderEdited() {
    form_->SetOrderFields(OrderFields{S(txtMRN_->text()), S(txtAccession_->text()), S(txtStudy_->text()), S(txtPatient_->text()),
                                      S(txtUserID_->text())});
}

void MainWindow::Tick() {
    form_->Timer1_Timer();
    WatchOrderFile();  // the watched file follows the setting
}

void MainWindow::OnWatchReadable() {
    // Loaded at once when its writer has finished with it: no quiet period.
    const std::vector<FileChange> changes = watch_.ReadChanges();
    if (!changes.empty()) form_->OrderFileChanged(changes);
}

void MainWindow::WatchOrderFile() {
    // VANTORA_WATCH=poll leaves the watch to the one-second poll (file-system
    // notifications do not report changes made by other hosts on a share).
    static const bool pollOnly = qgetenv("VANTORA_WATCH") == "poll";
    if (!timer1_.isActive() || pollOnly || !watchNotifier_) return;
    // The watch follows the setting, and comes back with a re-created folder.
    watch_.Watch(form_->GetXMLFilename());
    watchNotifier_->setEnabled(true);
}

void MainWindow::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick || (reason == QSystemTrayIcon::Trigger && singleClickTray_))
        form_->Form_MouseMove(kTrayDoubleClick);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!form_ || form_->exiting()) {
        event->accept();
        return;
    }
    int cancel = 0;
    form_->Form_QueryUnload(cancel, kQueryUnloadFromUser);
    if (cancel) event->ignore();
    else event->accept();
}

void MainWindow::SetCaption(const std::string& caption) { setWindowTitle(Q(caption)); }

namespace {
// Long values show their beginning, as they are read.
void SetTextFromStart(QLineEdit* e, const std::string& text) {
    e->setText(Q(text));
    e->setCursorPosition(0);
}
}  // namespace

void MainWindow::ShowOrderFields(const OrderFields& f) {
    SetTextFromStart(txtMRN_, f.txtMRN);
    SetTextFromStart(txtAccession_, f.txtAccession);
    SetTextFromStart(txtStudy_, f.txtStudy);
    SetTextFromStart(txtPatient_, f.txtPatient);
    SetTextFromStart(txtUserID_, f.txtUserID);
}

void MainWindow::SetXMLFileText(const std::string& text) { SetTextFromStart(txtXMLFile_, text); }

void MainWindow::SetLaunchEnabled(bool cmdLaunch, bool mnuLaunch) {
    cmdLaunch_->setEnabled(cmdLaunch);
    mnuLaunch_->setEnabled(mnuLaunch);
}

void MainWindow::EnableTimer() {
    timer1_.start();
    WatchOrderFile();
}

void MainWindow::ShowWindow() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::HideWindow() { hide(); }

void MainWindow::MinimizeWindow() {
    show();
    showMinimized();
}

void MainWindow::SetWindowStateNormal() { setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized)); }

bool MainWindow::TrayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool MainWindow::AddTrayIcon(const std::string& tip, int) {
    if (tray_.isVisible()) return false;  // one icon at most
    tray_.setToolTip(Q(tip));
    tray_.show();
    return tray_.isVisible();
}

void MainWindow::RemoveTrayIcon() { tray_.hide(); }

void MainWindow::PopupFileMenu() { mnuFile_->popup(QCursor::pos()); }

std::optional<std::string> MainWindow::ShowOpenDialog(const std::string& title, const std::string& filter, int,
                                                      const std::string& initialFile) {
    // "Label|pattern" pairs become Qt's "Label (pattern)" filters.
    QStringList filters;
    const QStringList parts = Q(filter).split('|');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
        filters << (parts[i].contains(parts[i + 1]) ? parts[i] : parts[i] + " (" + parts[i + 1] + ")");
    QFileDialog dialog(isVisible() ? this : nullptr, Q(title));
    dialog.setObjectName("CommonDialog1");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);  // the chosen file must exist
    dialog.setNameFilters(filters);
    const QFileInfo initial(Q(initialFile));
    dialog.setDirectory(initial.absolutePath());
    dialog.selectFile(initial.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return S(dialog.selectedFiles().front());
}

void MainWindow::ShowMessage(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), Q(text), QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.setObjectName("UnableToCreate");
    box.exec();
}

void MainWindow::ScheduleRecheck(int ms) { recheck_.start(std::max(ms, 1)); }

void MainWindow::Quit() {
    timer1_.stop();
    recheck_.stop();
    close();
    QApplication::exit(0);
}

}  // namespace pvd
