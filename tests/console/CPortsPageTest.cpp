// The port settings page: each delivery method's refusals in order, and a
// save that writes the ports, the relay host and exactly one method pair.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>

#include "ConsoleTest.h"
#include "console/CPortsPage.h"
#include "console/CRelayHostDialog.h"
#include "foundation/CPortSettings.h"
#include "foundation/SettingsCatalogue.h"
#include "platform/RegistryValues.h"

namespace {

DWORD PortsDword(const char* name) {
    DWORD value = 0xFFFFFFFF;
    const registry::Found found = registry::ReadDword(settings::kPortsKeyPath, name, value);
    return found == registry::Found::NoValue ? 0 : value;
}

// Stores one name-server entry as the DNS server dialog would.
void SetDnsEntry(const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, settings::kDnsKeyPath, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueEx(key, "#1", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                            static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

class CPortsPageTest : public ConsoleTest {
protected:
    template <typename T>
    T* Find(const char* name) {
        T* found = page->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void Type(const char* name, const QString& text) { Find<QLineEdit>(name)->setText(text); }
    void Update() { QTest::mouseClick(Find<QPushButton>("update"), Qt::LeftButton); }
    QString LastBox() { return CConsoleMessageBox::Shown().isEmpty() ? QString() : CConsoleMessageBox::Shown().last(); }
    std::unique_ptr<CPortsPage> page;
};

TEST_F(CPortsPageTest, RefusesWhatEachMethodLacksAndSavesOneMethodPair) {
    page = std::make_unique<CPortsPage>(context);
    Screenshot(*page, "ports-page");

    // Without a relay host neither relaying method is taken.
    Find<QRadioButton>("directRelay")->setChecked(true);
    Update();
    EXPECT_EQ(LastBox(), QString("Marlowin: ") + CPortSettings::kNoGateway);
    CRelayHostDialog relay(CRelayHostDialog::Kind::RelayHost);
    Screenshot(relay, "relay-host-dialog");
    relay.findChild<QLineEdit*>("port")->setText("587");
    EXPECT_FALSE(relay.Store());
    EXPECT_EQ(LastBox(), "Marlowin: Please Enter Remote Gateway Server");
    relay.findChild<QLineEdit*>("server")->setText(QString(256, 'r'));
    EXPECT_FALSE(relay.Store());
    relay.findChild<QLineEdit*>("server")->setText("relay.example.org");
    EXPECT_TRUE(relay.Store());
    // The page shows the port the dialog stored, as when its dialog closes.
    page->Reload();
    EXPECT_EQ(Find<QLineEdit>("gatewayPort")->text(), "587");

    // The authentication dialog's refusals come in field order.
    Find<QRadioButton>("authenticationRelay")->setChecked(true);
    Update();
    EXPECT_EQ(LastBox(), QString("Marlowin: ") + CPortSettings::kNoSmtpUser);
    CRelayHostDialog credentials(CRelayHostDialog::Kind::Authentication);
    Screenshot(credentials, "authentication-dialog");
    credentials.findChild<QLineEdit*>("server")->setText("");
    EXPECT_FALSE(credentials.Store());
    EXPECT_EQ(LastBox(), "Marlowin: Please Enter SMTP Server ");
    credentials.findChild<QLineEdit*>("server")->setText("relay.example.org");
    EXPECT_FALSE(credentials.Store());
    EXPECT_EQ(LastBox(), "Marlowin: Please Enter SMTP UserId ");
    credentials.findChild<QLineEdit*>("user")->setText("office");
    EXPECT_FALSE(credentials.Store());
    EXPECT_EQ(LastBox(), "Marlowin: Please Enter SMTP Password ");
    credentials.findChild<QLineEdit*>("password")->setText("s'cret");
    EXPECT_TRUE(credentials.Store());

    Type("smtpPort", "0");
    Update();
    EXPECT_EQ(LastBox(), QString("Marlowin: ") + CPortSettings::kBadPort);
    Type("smtpPort", "2525");
    Type("pop3Port", "1110");
    Type("webServerPort", "8080");
    Update();
    EXPECT_EQ(LastBox(), QString("Port Settings: ") + CPortSettings::kSaved);
    CPortSettings saved;
    ASSERT_TRUE(saved.Load());
    EXPECT_EQ(saved.smtpPort, 2525u);
    EXPECT_EQ(saved.pop3Port, 1110u);
    EXPECT_EQ(saved.webServerPort, 8080u);
    EXPECT_EQ(saved.gateway, "relay.example.org");
    EXPECT_EQ(saved.gatewayPort, 587u);
    EXPECT_EQ(saved.smtpUser, "office");
    EXPECT_EQ(saved.smtpPassword, "s'cret");
    EXPECT_EQ(PortsDword("UseAuthenticated"), 1u);
    EXPECT_EQ(PortsDword("Use Smart SMTP"), 0u);

    // Smart delivery: a name-server entry that names no server is refused
    // before anything is written.
    SetDnsEntry("10.0.0.1:99999");
    Find<QRadioButton>("smartRelay")->setChecked(true);
    Update();
    EXPECT_EQ(LastBox(), QString("Marlowin: ") + CPortSettings::kBadDns);
    EXPECT_EQ(PortsDword("UseAuthenticated"), 1u);
    SetDnsEntry("10.0.0.1:53");
    Update();
    EXPECT_EQ(PortsDword("UseAuthenticated"), 0u);
    EXPECT_EQ(PortsDword("Use Smart SMTP"), 1u);

    // The page shows what was saved when it is made again.
    page = std::make_unique<CPortsPage>(context);
    EXPECT_TRUE(Find<QRadioButton>("smartRelay")->isChecked());
    EXPECT_EQ(Find<QLineEdit>("smtpPort")->text(), "2525");
}
