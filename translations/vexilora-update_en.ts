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
