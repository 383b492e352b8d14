<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainMenu</name>
    <message>
        <source>Wardlatch</source>
        <translation>Wardlatch</translation>
    </message>
    <message>
        <source>Key device</source>
        <translation>Schlüsselgerät</translation>
    </message>
    <message>
        <source>Choose a key device…</source>
        <translation>Schlüsselgerät wählen …</translation>
    </message>
    <message>
        <source>Guard status</source>
        <translation>Wachstatus</translation>
    </message>
    <message>
        <source>When it goes away</source>
        <translation>Wenn es entfernt wird</translation>
    </message>
    <message>
        <source>Lock screen</source>
        <translation>Bildschirm sperren</translation>
    </message>
    <message>
        <source>Start screen saver</source>
        <translation>Bildschirmschoner starten</translation>
    </message>
    <message>
        <source>Lock shortcut</source>
        <translation>Tastenkürzel zum Sperren</translation>
    </message>
    <message>
        <source>Menu</source>
        <translation>Menü</translation>
    </message>
    <message>
        <source>About Wardlatch</source>
        <translation>Über Wardlatch</translation>
    </message>
    <message>
        <source>Send Feedback…</source>
        <translation>Rückmeldung senden …</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
</context>
<context>
    <name>wl::Alerts</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>About Wardlatch</source>
        <translation>Über Wardlatch</translation>
    </message>
    <message>
        <source>&lt;p&gt;&lt;b&gt;Wardlatch&lt;/b&gt; %1&lt;/p&gt;&lt;p&gt;Locks your session when your key device goes away.&lt;/p&gt;&lt;p&gt;Licensed under the GNU General Public License, version 3 or later.&lt;/p&gt;</source>
        <translation>&lt;p&gt;&lt;b&gt;Wardlatch&lt;/b&gt; %1&lt;/p&gt;&lt;p&gt;Sperrt Ihre Sitzung, wenn Ihr Schlüsselgerät entfernt wird.&lt;/p&gt;&lt;p&gt;Lizenziert unter der GNU General Public License, Version 3 oder später.&lt;/p&gt;</translation>
    </message>
</context>
<context>
    <name>wl::AppDelegate</name>
    <message>
        <source>This device reports no vendor and product numbers, so its removal cannot be recognised</source>
        <translation>Dieses Gerät meldet keine Hersteller- und Produktnummer, daher kann sein Entfernen nicht erkannt werden</translation>
    </message>
    <message>
        <source>Wardlatch has no tray icon</source>
        <translation>Wardlatch hat kein Symbol im Systembereich</translation>
    </message>
    <message>
        <source>This session has no system tray, so Wardlatch cannot show its icon. Removing the key device and the lock shortcut still lock.</source>
        <translation>Diese Sitzung hat keinen Systembereich, daher kann Wardlatch sein Symbol nicht anzeigen. Das Entfernen des Schlüsselgeräts und das Tastenkürzel sperren trotzdem.</translation>
    </message>
    <message>
        <source>Wardlatch lost its key device</source>
        <translation>Wardlatch hat sein Schlüsselgerät verloren</translation>
    </message>
    <message>
        <source>Its settings file could not be read, so no key device may be guarding this session. Choose the key device again.</source>
        <translation>Die Einstellungsdatei konnte nicht gelesen werden, daher bewacht möglicherweise kein Schlüsselgerät diese Sitzung. Wählen Sie das Schlüsselgerät erneut.</translation>
    </message>
    <message>
        <source>Wardlatch is guarding again</source>
        <translation>Wardlatch wacht wieder</translation>
    </message>
    <message>
        <source>If you quit, removing %@ will no longer lock your computer.</source>
        <translation>Wenn Sie Wardlatch beenden, sperrt das Entfernen von %@ Ihren Computer nicht mehr.</translation>
    </message>
    <message>
        <source>Quit wardlatch?</source>
        <translation>Wardlatch beenden?</translation>
    </message>
</context>
<context>
    <name>wl::CommandLine</name>
    <message>
        <source>wardlatch: the lock could not be confirmed</source>
        <translation>wardlatch: die Sperre konnte nicht bestätigt werden</translation>
    </message>
    <message>
        <source>Wardlatch is not running</source>
        <translation>Wardlatch läuft nicht</translation>
    </message>
    <message>
        <source>Locks the session when the key device goes away.</source>
        <translation>Sperrt die Sitzung, wenn das Schlüsselgerät entfernt wird.</translation>
    </message>
    <message>
        <source>Lock the session now (through the running Wardlatch, if any). Exits 0 when the lock was confirmed, 1 otherwise.</source>
        <translation>Die Sitzung jetzt sperren (über das laufende Wardlatch, falls vorhanden). Endet mit 0, wenn die Sperre bestätigt wurde, sonst mit 1.</translation>
    </message>
    <message>
        <source>Print what the running Wardlatch guards. Exits 0 when it is guarding, 3 otherwise.</source>
        <translation>Ausgeben, was das laufende Wardlatch bewacht. Endet mit 0, wenn es wacht, sonst mit 3.</translation>
    </message>
    <message>
        <source>Unexpected argument &apos;%1&apos;.</source>
        <translation>Unerwartetes Argument „%1“.</translation>
    </message>
    <message>
        <source>--lock and --status cannot be combined.</source>
        <translation>--lock und --status können nicht kombiniert werden.</translation>
    </message>
</context>
<context>
    <name>wl::DBusSessionLocker</name>
    <message>
        <source>Wardlatch could not lock your session</source>
        <translation>Wardlatch konnte Ihre Sitzung nicht sperren</translation>
    </message>
    <message>
        <source>Your key device went away or the lock shortcut was pressed, but no screen locker confirmed the lock. Tried: %1. A screen locker must be running in this session (the desktop&apos;s own, or xss-lock with a locker on a window manager).</source>
        <translation>Ihr Schlüsselgerät wurde entfernt oder das Tastenkürzel gedrückt, aber keine Bildschirmsperre hat das Sperren bestätigt. Versucht: %1. In dieser Sitzung muss eine Bildschirmsperre laufen (die des Desktops oder xss-lock mit einer Sperre unter einem Fenstermanager).</translation>
    </message>
    <message>
        <source>Wardlatch could not start the screen saver</source>
        <translation>Wardlatch konnte den Bildschirmschoner nicht starten</translation>
    </message>
    <message>
        <source>Your key device went away or the lock shortcut was pressed, but no screen saver confirmed that it started. Tried: %1. A screen locker or screen saver must be running in this session.</source>
        <translation>Ihr Schlüsselgerät wurde entfernt oder das Tastenkürzel gedrückt, aber kein Bildschirmschoner hat seinen Start bestätigt. Versucht: %1. In dieser Sitzung muss eine Bildschirmsperre oder ein Bildschirmschoner laufen.</translation>
    </message>
</context>
<context>
    <name>wl::FeedbackDialog</name>
    <message>
        <source>Send Feedback</source>
        <translation>Rückmeldung senden</translation>
    </message>
    <message>
        <source>Your message opens in your mail client, ready to send.</source>
        <translation>Ihre Nachricht öffnet sich versandbereit in Ihrem E-Mail-Programm.</translation>
    </message>
    <message>
        <source>Wardlatch feedback</source>
        <translation>Rückmeldung zu Wardlatch</translation>
    </message>
    <message>
        <source>What happened, or what would you like?</source>
        <translation>Was ist passiert, oder was wünschen Sie sich?</translation>
    </message>
    <message>
        <source>Open in Mail</source>
        <translation>Im E-Mail-Programm öffnen</translation>
    </message>
    <message>
        <source>No mail client could be opened.</source>
        <translation>Es konnte kein E-Mail-Programm geöffnet werden.</translation>
    </message>
</context>
<context>
    <name>wl::GuardState</name>
    <message>
        <source>the headphones</source>
        <translation>die Kopfhörer</translation>
    </message>
    <message>
        <source>Wardlatch is not guarding: choose a key device</source>
        <translation>Wardlatch wacht nicht: Wählen Sie ein Schlüsselgerät</translation>
    </message>
    <message>
        <source>Wardlatch: locks when the headphones are unplugged</source>
        <translation>Wardlatch: sperrt, wenn die Kopfhörer ausgesteckt werden</translation>
    </message>
    <message>
        <source>Wardlatch: locks when %1 is removed</source>
        <translation>Wardlatch: sperrt, wenn %1 entfernt wird</translation>
    </message>
    <message>
        <source>Wardlatch: the headphones are not connected</source>
        <translation>Wardlatch: Die Kopfhörer sind nicht angeschlossen</translation>
    </message>
    <message>
        <source>Wardlatch: %1 is not connected</source>
        <translation>Wardlatch: %1 ist nicht angeschlossen</translation>
    </message>
    <message>
        <source>Wardlatch is not guarding: no audio output can be watched</source>
        <translation>Wardlatch wacht nicht: Keine Audioausgabe kann überwacht werden</translation>
    </message>
    <message>
        <source>Wardlatch is not guarding: %1 cannot be watched</source>
        <translation>Wardlatch wacht nicht: %1 kann nicht überwacht werden</translation>
    </message>
    <message>
        <source>Wardlatch is paused until %1</source>
        <translation>Wardlatch pausiert bis %1</translation>
    </message>
    <message>
        <source>Wardlatch is paused until you resume it</source>
        <translation>Wardlatch pausiert, bis Sie es fortsetzen</translation>
    </message>
    <message>
        <source>The last lock could not be confirmed</source>
        <translation>Die letzte Sperre konnte nicht bestätigt werden</translation>
    </message>
</context>
<context>
    <name>wl::PortalKeyGrabber</name>
    <message>
        <source>Lock the screen (%1)</source>
        <translation>Den Bildschirm sperren (%1)</translation>
    </message>
</context>
<context>
    <name>wl::Shortcut</name>
    <message>
        <source>Super</source>
        <translation>Super</translation>
    </message>
</context>
<context>
    <name>wl::ShortcutRecorder</name>
    <message>
        <source>Clear shortcut</source>
        <translation>Tastenkürzel löschen</translation>
    </message>
    <message>
        <source>Type shortcut</source>
        <translation>Tastenkürzel drücken</translation>
    </message>
    <message>
        <source>Record Shortcut</source>
        <translation>Tastenkürzel aufnehmen</translation>
    </message>
    <message>
        <source>Shortcut</source>
        <translation>Tastenkürzel</translation>
    </message>
    <message>
        <source>%1, not available in this session</source>
        <translation>%1, in dieser Sitzung nicht verfügbar</translation>
    </message>
    <message>
        <source>This shortcut is taken by another program</source>
        <translation>Dieses Tastenkürzel wird von einem anderen Programm belegt</translation>
    </message>
    <message>
        <source>Shortcuts cannot work in this session: bind “wardlatch --lock” in the desktop&apos;s keyboard settings</source>
        <translation>Tastenkürzel funktionieren in dieser Sitzung nicht: Legen Sie „wardlatch --lock“ in den Tastatureinstellungen des Desktops auf eine Taste</translation>
    </message>
    <message>
        <source>Shortcuts cannot be used in this session</source>
        <translation>Tastenkürzel können in dieser Sitzung nicht verwendet werden</translation>
    </message>
    <message>
        <source>%1 is taken by another program</source>
        <translation>%1 wird von einem anderen Programm belegt</translation>
    </message>
    <message>
        <source>Use Ctrl, Alt or Super with the key</source>
        <translation>Verwenden Sie Strg, Alt oder Super mit der Taste</translation>
    </message>
</context>
<context>
    <name>wl::SingleInstance</name>
    <message>
        <source>Wardlatch is running but did not answer</source>
        <translation>Wardlatch läuft, hat aber nicht geantwortet</translation>
    </message>
</context>
<context>
    <name>wl::TrayMenu</name>
    <message>
        <source>Lock Now</source>
        <translation>Jetzt sperren</translation>
    </message>
    <message>
        <source>Pause Guarding</source>
        <translation>Wache pausieren</translation>
    </message>
    <message>
        <source>For 15 Minutes</source>
        <translation>Für 15 Minuten</translation>
    </message>
    <message>
        <source>For 1 Hour</source>
        <translation>Für 1 Stunde</translation>
    </message>
    <message>
        <source>Until I Resume</source>
        <translation>Bis ich fortsetze</translation>
    </message>
    <message>
        <source>Resume Guarding</source>
        <translation>Wache fortsetzen</translation>
    </message>
    <message>
        <source>Open Panel</source>
        <translation>Fenster öffnen</translation>
    </message>
    <message>
        <source>About Wardlatch</source>
        <translation>Über Wardlatch</translation>
    </message>
    <message>
        <source>Quit Wardlatch</source>
        <translation>Wardlatch beenden</translation>
    </message>
</context>
</TS>
