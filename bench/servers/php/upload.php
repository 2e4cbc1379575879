<?php
// The PHP peer behind nginx: every uploaded file moved into UPLOAD_DIR with
// move_uploaded_file, as a PHP application stores uploads.
$dir = getenv('UPLOAD_DIR');
$ok = true;
foreach ($_FILES as $field) {
    $names = (array)$field['name'];
    $temporaries = (array)$field['tmp_name'];
    $errors = (array)$field['error'];
    foreach ($temporaries as $i => $temporary) {
        if ($errors[$i] !== UPLOAD_ERR_OK || !move_uploaded_file($temporary, $dir . '/' . basename($names[$i]))) {
            $ok = false;
        }
    }
}
if (!$ok) {
    http_response_code(500);
}
echo $ok ? "ok" : "failed";
