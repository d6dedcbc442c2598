<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru" sourcelanguage="en">
<context>
    <name>ByteSize</name>
    <message>
        <source>%1 MB</source>
        <translation>%1 МБ</translation>
    </message>
</context>
<context>
    <name>FileDownloader</name>
    <message>
        <source>No data arrived from %1 for %2 seconds.</source>
        <translation>С %1 не поступало данных в течение %2 с.</translation>
    </message>
    <message>
        <source>Only http and https addresses can be downloaded, not &quot;%1&quot;.</source>
        <translation>Загружать можно только по адресам http и https, а не «%1».</translation>
    </message>
    <message>
        <source>The download could not be saved: %1
Move it away or delete it, then try again.</source>
        <translation>Не удалось сохранить загрузку: %1
Переместите или удалите мешающий файл и попробуйте ещё раз.</translation>
    </message>
    <message>
        <source>The download could not be saved: %1
Free some disk space or make the folder writable, then try again.</source>
        <translation>Не удалось сохранить загрузку: %1
Освободите место на диске или разрешите запись в папку и попробуйте ещё раз.</translation>
    </message>
    <message>
        <source>The download was tried %1 times.</source>
        <translation>Попыток загрузки: %1.</translation>
    </message>
    <message>
        <source>The %1 received are kept: the next try continues from there.</source>
        <translation>Полученные %1 сохранены: следующая попытка продолжит с этого места.</translation>
    </message>
    <message>
        <source>The file at %1 is larger than the %2 this program accepts.</source>
        <translation>Файл по адресу %1 больше допустимых для программы %2.</translation>
    </message>
    <message>
        <source>The server at %1 did not continue the file where the download stopped.</source>
        <translation>Сервер %1 не продолжил передачу файла с места, где загрузка прервалась.</translation>
    </message>
    <message>
        <source>The server at %1 has nothing after the %2 kept.</source>
        <translation>У сервера %1 нет данных после уже сохранённых %2.</translation>
    </message>
    <message>
        <source>The server at %1 sent a part of the file that was not asked for.</source>
        <translation>Сервер %1 прислал не ту часть файла, которая была запрошена.</translation>
    </message>
    <message>
        <source>The transfer from %1 was too slow: less than %2 arrived in %3 seconds.</source>
        <translation>Передача с %1 шла слишком медленно: за %3 с пришло меньше %2.</translation>
    </message>
    <message>
        <source>The server stopped sending %1, or sends it too slowly: less than %2 arrived in %3 seconds.</source>
        <translation>Сервер перестал передавать %1 или передаёт слишком медленно: за %3 с пришло меньше %2.</translation>
    </message>
    <message>
        <source>The server at %1 sent the download on to &quot;%2&quot;, which is not an http or https address.</source>
        <translation>Сервер %1 перенаправил загрузку на «%2», а это не адрес http или https.</translation>
    </message>
    <message>
        <source>The server at %1 sent the download on to other addresses more than %2 times.</source>
        <translation>Сервер %1 перенаправлял загрузку на другие адреса больше %2 раз.</translation>
    </message>
    <message>
        <source>The server at %1 sent no file.</source>
        <translation>Сервер %1 не прислал файл.</translation>
    </message>
    <message>
        <source>The transfer from %1 ended after %2 of %3.</source>
        <translation>Передача с %1 оборвалась после %2 из %3.</translation>
    </message>
    <message>
        <source>The server sent an empty file for %1.</source>
        <translation>Сервер прислал пустой файл для %1.</translation>
    </message>
    <message>
        <source>The file from %1 is not the one the server announced (its hash differs).</source>
        <translation>Файл с %1 не совпадает с тем, что заявил сервер (хеш отличается).</translation>
    </message>
    <message>
        <source>The download could not be stored: %1</source>
        <translation>Не удалось сохранить загрузку: %1</translation>
    </message>
    <message>
        <source>The server answered %1 for %2.</source>
        <translation>Сервер ответил %1 на запрос %2.</translation>
    </message>
    <message>
        <source>The server answered %1 (%2) for %3.</source>
        <translation>Сервер ответил %1 (%2) на запрос %3.</translation>
    </message>
    <message>
        <source>The transfer from %1 failed: %2.</source>
        <translation>Передача с %1 не удалась: %2.</translation>
    </message>
</context>
<context>
    <name>PartialDownload</name>
    <message>
        <source>Can&apos;t write %1: %2</source>
        <translation>Не удаётся записать %1: %2</translation>
    </message>
    <message>
        <source>Can&apos;t replace %1: %2 of that name is in the way.</source>
        <translation>Не удаётся заменить %1: мешает %2 с тем же именем.</translation>
    </message>
    <message>
        <source>a folder</source>
        <translation>папка</translation>
    </message>
    <message>
        <source>something</source>
        <translation>что-то</translation>
    </message>
    <message>
        <source>Can&apos;t create %1: %2</source>
        <translation>Не удаётся создать %1: %2</translation>
    </message>
    <message>
        <source>%1 changed while the download waited.</source>
        <translation>Файл %1 изменился, пока загрузка ждала.</translation>
    </message>
    <message>
        <source>Can&apos;t open %1: %2</source>
        <translation>Не удаётся открыть %1: %2</translation>
    </message>
    <message>
        <source>%1 is not open.</source>
        <translation>Файл %1 не открыт.</translation>
    </message>
    <message>
        <source>Can&apos;t read %1 back: %2</source>
        <translation>Не удаётся перечитать %1: %2</translation>
    </message>
    <message>
        <source>%1 is larger than the %2 this program accepts.</source>
        <translation>Файл %1 больше допустимых для программы %2.</translation>
    </message>
    <message>
        <source>Can&apos;t read %1 back.</source>
        <translation>Не удаётся перечитать %1.</translation>
    </message>
    <message>
        <source>Can&apos;t store %1: %2</source>
        <translation>Не удаётся сохранить %1: %2</translation>
    </message>
</context>
<context>
    <name>QuenDaraTranslation</name>
    <message>
        <source>Quen Dara Translation is already running. Please use the window that is open (it may be minimised).</source>
        <translation>Quen Dara Translation уже запущен. Пожалуйста, воспользуйтесь открытым окном (возможно, оно свёрнуто).</translation>
    </message>
    <message>
        <source>Quen Dara Translation can&apos;t start: it can&apos;t make its lock file in its folder:
%1
%2
Please check that this folder can be written (and is not read-only), then start the program again.</source>
        <translation>Quen Dara Translation не может запуститься: не удаётся создать файл блокировки в его папке:
%1
%2
Проверьте, что в эту папку можно записывать (и она не только для чтения), и запустите программу снова.</translation>
    </message>
    <message>
        <source>This copy of Quen Dara Translation was built with a damaged key.
Please download it again.</source>
        <translation>Эта копия Quen Dara Translation собрана с повреждённым ключом.
Пожалуйста, скачайте её заново.</translation>
    </message>
    <message>
        <source>Quen Dara Online Translation v%1.%2</source>
        <translation>Перевод Quen Dara Online v%1.%2</translation>
    </message>
    <message>
        <source>Please exit the game first.</source>
        <translation>Сначала закройте игру.</translation>
    </message>
    <message>
        <source>Please login in ORBEX first, make sure button has blue color.</source>
        <translation>Сначала войдите в ORBEX: кнопка должна стать синей.</translation>
    </message>
    <message>
        <source>Could not restore original files while game is running.</source>
        <translation>Пока игра запущена, вернуть оригинальные файлы нельзя.</translation>
    </message>
    <message>
        <source>I&apos;ll close the game first</source>
        <translation>Сначала закрою игру</translation>
    </message>
    <message>
        <source>Exit anyway (not recommended)</source>
        <translation>Всё равно выйти (не рекомендуется)</translation>
    </message>
    <message>
        <source>The original game files were not restored, so the translation stays in the game.</source>
        <translation>Оригинальные файлы игры не восстановлены, поэтому перевод остаётся в игре.</translation>
    </message>
    <message>
        <source>Keep the window open</source>
        <translation>Не закрывать окно</translation>
    </message>
    <message>
        <source>The game was most likely updated (or repaired, or changed by another program) since the translation was made.
The translation will be offered again once the translators publish it for this version of the game.
The game stays as it is.</source>
        <translation>Скорее всего, игру обновили (или восстановили, или изменила другая программа) после того, как был сделан перевод.
Перевод снова появится, когда переводчики выпустят его для этой версии игры.
Игра остаётся без изменений.</translation>
    </message>
    <message>
        <source>Applying patch...fail!</source>
        <translation>Установка патча...ошибка!</translation>
    </message>
    <message>
        <source>Applying patch... %p%</source>
        <translation>Установка патча... %p%</translation>
    </message>
    <message>
        <source>Applying patch...success!</source>
        <translation>Установка патча...готово!</translation>
    </message>
    <message>
        <source>Can&apos;t read the game files, so the original could not be restored.
%1</source>
        <translation>Не удаётся прочитать файлы игры, поэтому оригинал не восстановлен.
%1</translation>
    </message>
    <message>
        <source>The original game files can&apos;t be restored: the reverse patch patch_KR.data is missing or damaged, and there is no backup copy of the original to take its place.
The translation stays in the game.
To get the original game back, repair the game files with the ORBEX launcher.</source>
        <translation>Оригинальные файлы игры восстановить не удаётся: обратный патч patch_KR.data отсутствует или повреждён, а резервной копии оригинала, которая могла бы его заменить, нет.
Перевод остаётся в игре.
Чтобы вернуть оригинальную игру, восстановите файлы игры в лаунчере ORBEX.</translation>
    </message>
    <message>
        <source>Could not find the game: the launcher has not recorded where it is, and no game folder was saved. Please use Browse to choose QuenDara.exe in the game folder.</source>
        <translation>Игра не найдена: лаунчер не записал, где она установлена, а сохранённой папки игры нет. Нажмите «Обзор» и выберите QuenDara.exe в папке игры.</translation>
    </message>
    <message>
        <source>Quen Dara executable</source>
        <translation>Исполняемый файл Quen Dara</translation>
    </message>
    <message>
        <source>QuenDara.exe (QuenDara.exe)</source>
        <translation>QuenDara.exe (QuenDara.exe)</translation>
    </message>
    <message>
        <source>Game is already running.</source>
        <translation>Игра уже запущена.</translation>
    </message>
    <message>
        <source>Please login in ORBEX first.</source>
        <translation>Сначала войдите в ORBEX.</translation>
    </message>
    <message>
        <source>Could not start the game:</source>
        <translation>Не удалось запустить игру:</translation>
    </message>
    <message>
        <source>Please check that the game is installed there, or choose QuenDara.exe with Find game or Browse. You can also start the game from ORBEX.</source>
        <translation>Проверьте, что игра установлена там, или выберите QuenDara.exe кнопкой «Найти игру» или «Обзор». Игру можно запустить и из ORBEX.</translation>
    </message>
    <message>
        <source>Could not find the game archive data.lpk in that folder:</source>
        <translation>В этой папке не найден архив игры data.lpk:</translation>
    </message>
    <message>
        <source>Please check the game folder.</source>
        <translation>Проверьте папку игры.</translation>
    </message>
    <message>
        <source>The launcher may be updating or checking the game.</source>
        <translation>Возможно, лаунчер сейчас обновляет или проверяет игру.</translation>
    </message>
    <message>
        <source>Please wait until it has finished and start Quen Dara Translation again.</source>
        <translation>Дождитесь, пока он закончит, и снова запустите Quen Dara Translation.</translation>
    </message>
    <message>
        <source>The game files were not changed.</source>
        <translation>Файлы игры не изменены.</translation>
    </message>
    <message>
        <source>Could not change game files in that folder:</source>
        <translation>Не удалось изменить файлы игры в этой папке:</translation>
    </message>
    <message>
        <source>Please check if you are an Administrator on this computer.</source>
        <translation>Проверьте, есть ли у вас права администратора на этом компьютере.</translation>
    </message>
    <message>
        <source>You can choose the game folder with Find game or Browse.</source>
        <translation>Папку игры можно выбрать кнопкой «Найти игру» или «Обзор».</translation>
    </message>
    <message>
        <source>The game folder stays %1.</source>
        <translation>Папкой игры остаётся %1.</translation>
    </message>
    <message>
        <source>The translation in the game files is out of date, and it could not be removed, so it stays applied.</source>
        <translation>Перевод в файлах игры устарел, но убрать его не удалось, поэтому он остаётся установленным.</translation>
    </message>
    <message>
        <source>The game files are different from the ones the published translations were made for.</source>
        <translation>Файлы игры отличаются от тех, для которых сделаны опубликованные переводы.</translation>
    </message>
    <message>
        <source>The server sent no signature for it.</source>
        <translation>Сервер не прислал для него подпись.</translation>
    </message>
    <message>
        <source>Its signature is damaged.</source>
        <translation>Его подпись повреждена.</translation>
    </message>
    <message>
        <source>It is not signed by the translators: it was changed on the way, or someone else signed it.</source>
        <translation>Он подписан не переводчиками: его изменили по пути или подписал кто-то другой.</translation>
    </message>
    <message>
        <source>It has no release number.</source>
        <translation>У него нет номера выпуска.</translation>
    </message>
    <message>
        <source>It is an older release (number %1) than one this program has already used (number %2).</source>
        <translation>Это более старый выпуск (номер %1), чем тот, что программа уже использовала (номер %2).</translation>
    </message>
    <message>
        <source>Its expiry date can&apos;t be read.</source>
        <translation>Не удаётся прочитать срок его действия.</translation>
    </message>
    <message>
        <source>It expired on %1.</source>
        <translation>Срок его действия истёк %1.</translation>
    </message>
    <message>
        <source>Its signature could not be downloaded.
%1</source>
        <translation>Не удалось загрузить его подпись.
%1</translation>
    </message>
    <message>
        <source>The file at %1 is larger than the %2 this program accepts.</source>
        <translation>Файл по адресу %1 больше допустимых для программы %2.</translation>
    </message>
    <message>
        <source>Getting patch info...%p%</source>
        <translation>Получение данных о патчах...%p%</translation>
    </message>
    <message>
        <source>Can&apos;t connect to server.</source>
        <translation>Не удаётся подключиться к серверу.</translation>
    </message>
    <message>
        <source>Can&apos;t connect to server.
%1</source>
        <translation>Не удаётся подключиться к серверу.
%1</translation>
    </message>
    <message>
        <source>Can&apos;t verify the list of translations from the server.
%1
Nothing was downloaded or changed.
Please try again later; if it goes on, tell the translators.</source>
        <translation>Не удаётся проверить список переводов с сервера.
%1
Ничего не загружено и не изменено.
Попробуйте позже; если ошибка повторится, сообщите переводчикам.</translation>
    </message>
    <message>
        <source>Can&apos;t find a game folder, please browse to QuenDara.exe in the game folder.</source>
        <translation>Папка игры не найдена. Нажмите «Обзор» и выберите QuenDara.exe в папке игры.</translation>
    </message>
    <message>
        <source>Your version of the patcher is too old (last version is v%1.%2), please download new version.</source>
        <translation>Ваша версия патчера устарела (последняя версия — v%1.%2), пожалуйста, скачайте новую.</translation>
    </message>
    <message>
        <source>Old version</source>
        <translation>Устаревшая версия</translation>
    </message>
    <message>
        <source>The translation is no longer in the game files: another program changed them since it was applied (most likely the launcher updated or repaired the game).
The game files were left as they are.</source>
        <translation>Перевода больше нет в файлах игры: после установки их изменила другая программа (скорее всего, лаунчер обновил или восстановил игру).
Файлы игры оставлены как есть.</translation>
    </message>
    <message>
        <source>Downloading the patch...100%</source>
        <translation>Загрузка патча...100%</translation>
    </message>
    <message>
        <source>Downloading the patch failed.
%1</source>
        <translation>Не удалось загрузить патч.
%1</translation>
    </message>
    <message>
        <source>Downloading the patch failed.
%1
Please check your connection and try again.</source>
        <translation>Не удалось загрузить патч.
%1
Проверьте подключение к сети и попробуйте ещё раз.</translation>
    </message>
    <message>
        <source>Downloading the patch failed.
%1
Please try again later; if it goes on, tell the translators.</source>
        <translation>Не удалось загрузить патч.
%1
Попробуйте позже; если ошибка повторится, сообщите переводчикам.</translation>
    </message>
    <message>
        <source>Downloading the patch failed.
%1
Please try again later, or check your connection.</source>
        <translation>Не удалось загрузить патч.
%1
Попробуйте позже или проверьте подключение к сети.</translation>
    </message>
    <message>
        <source>Downloading the patch failed.
The file from %1 is not the one the server announced (its hash differs), so it was not used.
Please try again later; if it goes on, tell the translators.</source>
        <translation>Не удалось загрузить патч.
Файл с %1 не совпадает с тем, что заявил сервер (хеш отличается), поэтому он не использован.
Попробуйте позже; если ошибка повторится, сообщите переводчикам.</translation>
    </message>
    <message>
        <source>the translation is not there</source>
        <translation>перевода там нет</translation>
    </message>
    <message>
        <source>it does not let the translation be downloaded</source>
        <translation>он не даёт загрузить перевод</translation>
    </message>
    <message>
        <source>it is too busy or down for the moment</source>
        <translation>он перегружен или временно не работает</translation>
    </message>
    <message>
        <source>it has a problem of its own</source>
        <translation>у него самого неполадки</translation>
    </message>
    <message>
        <source>it did not send the translation</source>
        <translation>он не прислал перевод</translation>
    </message>
    <message>
        <source>The server answered %1 for %2: %3.</source>
        <translation>Сервер ответил %1 на запрос %2: %3.</translation>
    </message>
    <message>
        <source>The server answered %1 (%2) for %3: %4.</source>
        <translation>Сервер ответил %1 (%2) на запрос %3: %4.</translation>
    </message>
    <message>
        <source>The server stopped sending the patch from %1, or sends it too slowly.</source>
        <translation>Сервер перестал передавать патч с %1 или передаёт его слишком медленно.</translation>
    </message>
    <message>
        <source>The server sent an empty file for %1.</source>
        <translation>Сервер прислал пустой файл для %1.</translation>
    </message>
    <message>
        <source>Downloading the patch...%p% (%1 Mb/sec)</source>
        <translation>Загрузка патча...%p% (%1 Мб/с)</translation>
    </message>
    <message>
        <source>Connection lost, resuming... (attempt %1 of %2)</source>
        <translation>Связь потеряна, продолжаем... (попытка %1 из %2)</translation>
    </message>
    <message>
        <source>Downloading the patch...%1 Mb (%2 Mb/sec)</source>
        <translation>Загрузка патча...%1 Мб (%2 Мб/с)</translation>
    </message>
</context>
<context>
    <name>QuenDaraTranslationClass</name>
    <message>
        <source>Restore original on close
(recommended)</source>
        <translation>Откатить при выходе
(рекомендуется)</translation>
    </message>
    <message>
        <source>Game Folder:</source>
        <translation>Папка игры:</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>Обзор</translation>
    </message>
    <message>
        <source>Find game</source>
        <translation>Найти игру</translation>
    </message>
    <message>
        <source>Start the game</source>
        <translation>Запустить игру</translation>
    </message>
</context>
</TS>
