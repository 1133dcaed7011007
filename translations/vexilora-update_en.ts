<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru">
<context>
    <name>TForm1</name>
    <message>
        <source>Не удается подключиться к Vexilora. Пожалуйста, отключите её от компьютера и подключите снова.</source>
        <translation>Cannot connect to the Vexilora. Please disconnect it from the computer and connect it again.</translation>
    </message>
    <message>
        <source>Не удается получить ответ от Vexilora. Пожалуйста, отключите её от компьютера и подключите снова.</source>
        <translation>The Vexilora does not answer. Please disconnect it from the computer and connect it again.</translation>
    </message>
    <message>
        <source>Программное обеспечение Vexilora успешно обновлено.</source>
        <translation>The Vexilora software has been updated successfully.</translation>
    </message>
    <message>
        <source>Пожалуйста, подключите Vexilora к компьютеру!</source>
        <translation>Please connect the Vexilora to the computer!</translation>
    </message>
    <message>
        <source>Ошибка</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>В исполняемом файле утилиты для обновления Vexilora отсутствует программное обеспечение Vexilora!</source>
        <translation>The Vexilora update utility&apos;s executable does not contain the Vexilora software!</translation>
    </message>
    <message>
        <source>Обновление Vexilora </source>
        <translation>Vexilora Update </translation>
    </message>
    <message>
        <source>Отсутствует</source>
        <translation>Not available</translation>
    </message>
    <message>
        <source>Загрузчик</source>
        <translation>Bootloader</translation>
    </message>
    <message>
        <source>Подключите изделие к ПК.</source>
        <translation>Connect the device to the computer.</translation>
    </message>
    <message>
        <source>Не удалось получить аппаратную версию подключенной к компьютеру Vexilora.<byte value="xd"/>Попробуйте отключить Vexilora от компьютера и подключить ее снова.</source>
        <translation>Could not read the hardware version of the Vexilora connected to the computer.<byte value="xd"/>Try disconnecting the Vexilora from the computer and connecting it again.</translation>
    </message>
    <message>
        <source>Поддерживается обновление Vexilora с аппаратной версией %1.%2. <byte value="xd"/>Обновление Vexilora невозможно.</source>
        <translation>Only a Vexilora with hardware version %1.%2 can be updated. <byte value="xd"/>This Vexilora cannot be updated.</translation>
    </message>
    <message>
        <source>Не удалось получить версию программного обеспечения, установленного в Vexilora.<byte value="xd"/>Тем не менее, программное обеспечение Vexilora можно обновить.</source>
        <translation>Could not read the version of the software installed in the Vexilora.<byte value="xd"/>The Vexilora software can be updated nevertheless.</translation>
    </message>
    <message>
        <source>Программное обеспечение подключенной к компьютеру Vexilora можно обновить.</source>
        <translation>The software of the Vexilora connected to the computer can be updated.</translation>
    </message>
    <message>
        <source>В результате обновления в Vexilora будет установленая предыдущая версия программного обеспечения.</source>
        <translation>This update will install an earlier software version in the Vexilora.</translation>
    </message>
    <message>
        <source>Обновление не завершено: Vexilora не приняла пароль. Нажмите «Обновить Vexilora» и введите верный пароль.</source>
        <translation>The update did not complete: the Vexilora did not accept the password. Press “Update Vexilora” and enter the correct password.</translation>
    </message>
    <message>
        <source>Обновление не завершено: Vexilora отказалась принять обновление. Отключите её от компьютера, подключите снова и повторите обновление.</source>
        <translation>The update did not complete: the Vexilora refused to take the update. Disconnect it from the computer, connect it again and repeat the update.</translation>
    </message>
    <message>
        <source>Обновление не завершено: Vexilora отвергла переданное программное обеспечение. Повторите обновление.</source>
        <translation>The update did not complete: the Vexilora rejected the software it was sent. Repeat the update.</translation>
    </message>
    <message>
        <source>Обновление не завершено: передача программного обеспечения в Vexilora прервана. Проверьте подключение и повторите обновление.</source>
        <translation>The update did not complete: sending the software to the Vexilora was broken off. Check the connection and repeat the update.</translation>
    </message>
    <message>
        <source>Обновление не завершено: Vexilora перестала отвечать. Отключите её от компьютера, подключите снова и повторите обновление.</source>
        <translation>The update did not complete: the Vexilora stopped answering. Disconnect it from the computer, connect it again and repeat the update.</translation>
    </message>
    <message>
        <source>Обновление не завершено: Vexilora не запустила новое программное обеспечение. Отключите её от компьютера, подключите снова и повторите обновление.</source>
        <translation>The update did not complete: the Vexilora did not start the new software. Disconnect it from the computer, connect it again and repeat the update.</translation>
    </message>
    <message>
        <source>Обновление не завершено: после перезапуска Vexilora не сообщила версию программного обеспечения. Отключите её от компьютера и подключите снова.</source>
        <translation>The update did not complete: after restarting, the Vexilora did not report its software version. Disconnect it from the computer and connect it again.</translation>
    </message>
    <message>
        <source>Обновление не завершено: после перезапуска Vexilora сообщает версию %1 вместо %2. Повторите обновление.</source>
        <translation>The update did not complete: after restarting, the Vexilora reports version %1 instead of %2. Repeat the update.</translation>
    </message>
    <message>
        <source>Обновление не завершено: Vexilora отключена от компьютера. Подключите её снова и повторите обновление.</source>
        <translation>The update did not complete: the Vexilora was disconnected from the computer. Connect it again and repeat the update.</translation>
    </message>
    <message>
        <source>Нет прав на доступ к Vexilora. Установите правило udev программы или добавьте пользователя в группу dialout и войдите заново, затем подключите Vexilora снова.</source>
        <translation>No permission to open the Vexilora. Install the program&apos;s udev rule, or add your user to the dialout group and log in again; then connect the Vexilora again.</translation>
    </message>
    <message>
        <source>Vexilora занята другой программой (например, программой для модемов или терминалом). Закройте её, затем отключите Vexilora от компьютера и подключите снова.</source>
        <translation>The Vexilora is in use by another program (a modem manager or a terminal, for example). Close that program, then disconnect the Vexilora and connect it again.</translation>
    </message>
    <message>
        <source>Vexilora занята другой программой (%1, PID %2). Закройте её, затем отключите Vexilora от компьютера и подключите снова.</source>
        <translation>The Vexilora is in use by another program (%1, PID %2). Close it, then disconnect the Vexilora from the computer and connect it again.</translation>
    </message>
    <message>
        <source>Vexilora уже используется другой копией программы обновления (%1, PID %2). Закройте её, затем отключите Vexilora от компьютера и подключите снова.</source>
        <translation>The Vexilora is already in use by another copy of the update program (%1, PID %2). Close it, then disconnect the Vexilora from the computer and connect it again.</translation>
    </message>
    <message>
        <source>Программное обеспечение Vexilora в утилите повреждено (не совпадает контрольная сумма). Обновление не начато. Переустановите утилиту.</source>
        <translation>The Vexilora software inside this utility is damaged (its checksum does not match). The update was not started. Reinstall the utility.</translation>
    </message>
    <message>
        <source>Не удается записать временный файл обновления: %1. Обновление не начато, Vexilora не затронута.</source>
        <translation>Cannot write the update&apos;s temporary file: %1. The update was not started; the Vexilora was not touched.</translation>
    </message>
    <message>
        <source>Журнал обмена: %1</source>
        <translation>Exchange log: %1</translation>
    </message>
    <message>
        <source>Прервать обновление?</source>
        <translation>Cancel the update?</translation>
    </message>
    <message>
        <source>Идёт обновление Vexilora. Если закрыть окно сейчас, обновление будет прервано и Vexilora останется в загрузчике без программного обеспечения.

Закрыть окно?</source>
        <translation>The Vexilora is being updated. If you close the window now, the update will be cancelled and the Vexilora will be left in its bootloader without its software.

Close the window?</translation>
    </message>
    <message>
        <source>Прервать и закрыть</source>
        <translation>Cancel and close</translation>
    </message>
    <message>
        <source>Продолжить обновление</source>
        <translation>Continue the update</translation>
    </message>
    <message>
        <source>Обновление программного обеспечения Vexilora на %1</source>
        <translation>Updating the Vexilora software on %1</translation>
    </message>
    <message>
        <source>Не удается прочитать версию утилиты обновления: невозможно проверить, подходит ли обновление для этой Vexilora.<byte value="xd"/>Обновление Vexilora невозможно. Переустановите утилиту.</source>
        <translation>The version of this update utility cannot be read, so it cannot check that the update suits this Vexilora.<byte value="xd"/>This Vexilora cannot be updated. Reinstall the utility.</translation>
    </message>
</context>
<context>
    <name>appqt::TForm2</name>
    <message>
        <source>Пароль</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>Пароль:</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>Ок</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>appqt::TMainWindow</name>
    <message>
        <source>Аппаратная версия :</source>
        <translation>Hardware version:</translation>
    </message>
    <message>
        <source>Программная версия :</source>
        <translation>Software version:</translation>
    </message>
    <message>
        <source>Версия обновления :</source>
        <translation>Update version:</translation>
    </message>
    <message>
        <source>Обновить Vexilora</source>
        <translation>Update Vexilora</translation>
    </message>
    <message>
        <source>ОК</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
