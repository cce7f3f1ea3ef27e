// The configuration page: builds one form per settings section from the JSON types of its values,
// shows the last status of the checks, and saves the changed values to this page's own address.
'use strict';

(function () {
  var data = JSON.parse(document.getElementById('page-data').textContent || '{}');
  var config = data.config || {};
  var status = data.status || {};
  var fields = []; // {section, key, kind, element, row, original}

  function text(tag, content, className) {
    var element = document.createElement(tag);
    if (content !== undefined) element.textContent = content;
    if (className) element.className = className;
    return element;
  }

  function kindOf(value) {
    if (typeof value === 'boolean') return 'bool';
    if (typeof value === 'number') return 'number';
    if (Array.isArray(value)) return 'list';
    if (value !== null && typeof value === 'object') return 'map';
    return 'string';
  }

  function isSecret(key) {
    return /password|secret|token/i.test(key);
  }

  function renderStatus() {
    var box = document.getElementById('status');
    box.textContent = '';
    Object.keys(status).sort().forEach(function (name) {
      var value = status[name];
      var state = 'unknown';
      var detail = '';
      if (typeof value === 'boolean') {
        state = value ? 'ok' : 'failed';
        detail = value ? 'OK' : 'Failed';
      } else if (typeof value === 'number') {
        state = value === 0 ? 'ok' : 'failed';
        detail = 'code ' + value;
      } else if (value !== null && typeof value === 'object') {
        var code = value.status !== undefined ? value.status : value.code;
        if (code !== undefined) state = (code === 0 || code === true || code === 'OK') ? 'ok' : 'failed';
        detail = value.message || value.text || JSON.stringify(value);
      } else if (value !== null && value !== undefined) {
        detail = String(value);
      }
      var card = text('div', undefined, 'check ' + state);
      card.dataset.check = name;
      card.appendChild(text('div', name, 'name'));
      card.appendChild(text('div', detail, 'detail'));
      box.appendChild(card);
    });
    if (!box.childNodes.length) box.appendChild(text('div', 'No check has run yet.'));
  }

  function makeInput(key, kind, value) {
    var input;
    if (kind === 'bool') {
      input = document.createElement('input');
      input.type = 'checkbox';
      input.checked = value;
    } else if (kind === 'number') {
      input = document.createElement('input');
      input.type = 'number';
      input.step = 'any';
      input.value = String(value);
    } else if (kind === 'list' || kind === 'map') {
      input = document.createElement('textarea');
      input.value = JSON.stringify(value, null, 2);
      input.rows = Math.min(12, input.value.split('\n').length);
    } else {
      input = document.createElement('input');
      input.type = isSecret(key) ? 'password' : 'text';
      input.value = value === null ? '' : String(value);
    }
    return input;
  }

  function renderForm() {
    var form = document.getElementById('config');
    form.textContent = '';
    fields = [];
    Object.keys(config).sort().forEach(function (section) {
      var values = config[section];
      if (values === null || typeof values !== 'object') return;
      var box = text('section');
      box.dataset.section = section;
      box.appendChild(text('h2', section));
      Object.keys(values).sort().forEach(function (key) {
        var kind = kindOf(values[key]);
        var row = text('div', undefined, 'field');
        var id = 'f-' + section + '-' + key;
        var label = text('label', key);
        label.htmlFor = id;
        var input = makeInput(key, kind, values[key]);
        input.id = id;
        input.name = section + '.' + key;
        var error = text('div', '', 'error');
        row.appendChild(label);
        row.appendChild(input);
        row.appendChild(error);
        box.appendChild(row);
        fields.push({ section: section, key: key, kind: kind, element: input, row: row, error: error,
                      original: values[key] });
      });
      form.appendChild(box);
    });
  }

  // The value of a field as the JSON type of its original; undefined with an error text when it is not.
  function readField(field) {
    var input = field.element;
    if (field.kind === 'bool') return { value: input.checked };
    if (field.kind === 'number') {
      var number = Number(input.value);
      if (input.value.trim() === '' || !isFinite(number)) return { error: 'A number is expected' };
      return { value: number };
    }
    if (field.kind === 'list' || field.kind === 'map') {
      try {
        var parsed = JSON.parse(input.value);
        if (field.kind === 'list' && !Array.isArray(parsed)) return { error: 'A JSON list is expected' };
        if (field.kind === 'map' && (parsed === null || typeof parsed !== 'object' || Array.isArray(parsed)))
          return { error: 'A JSON object is expected' };
        return { value: parsed };
      } catch (e) {
        return { error: 'Invalid JSON: ' + e.message };
      }
    }
    return { value: input.value };
  }

  function setMessage(content, state) {
    var message = document.getElementById('message');
    message.textContent = content;
    message.className = state || '';
  }

  function clearErrors() {
    fields.forEach(function (field) {
      field.error.textContent = '';
      field.row.classList.remove('invalid');
    });
  }

  function showError(field, content) {
    field.error.textContent = content;
    field.row.classList.add('invalid');
  }

  // Error keys are the setting's key, or "section.key" / "section/key" when the server names the section.
  function showServerErrors(errors) {
    var unplaced = [];
    Object.keys(errors).forEach(function (name) {
      var parts = name.split(/[./]/);
      var key = parts[parts.length - 1];
      var section = parts.length > 1 ? parts[0] : null;
      var matches = fields.filter(function (field) {
        return field.key === key && (section === null || field.section === section);
      });
      if (!matches.length) unplaced.push(name + ': ' + errors[name]);
      matches.forEach(function (field) { showError(field, errors[name]); });
    });
    setMessage('Not saved' + (unplaced.length ? ': ' + unplaced.join('; ') : ': see the marked fields'), 'failed');
  }

  function save() {
    clearErrors();
    var changes = {};
    var invalid = false;
    fields.forEach(function (field) {
      var read = readField(field);
      if (read.error) {
        showError(field, read.error);
        invalid = true;
        return;
      }
      if (JSON.stringify(read.value) === JSON.stringify(field.original)) return;
      (changes[field.section] = changes[field.section] || {})[field.key] = read.value;
    });
    if (invalid) {
      setMessage('Not saved: see the marked fields', 'failed');
      return;
    }
    if (!Object.keys(changes).length) {
      setMessage('Nothing changed', 'ok');
      return;
    }
    var button = document.getElementById('save');
    button.disabled = true;
    setMessage('Saving...');
    var request = new XMLHttpRequest();
    request.open('POST', window.location.pathname);
    request.setRequestHeader('Content-Type', 'application/json');
    request.onload = function () {
      button.disabled = false;
      var answer = {};
      try { answer = JSON.parse(request.responseText); } catch (e) { answer = {}; }
      if (request.status === 200) {
        fields.forEach(function (field) {
          var section = changes[field.section];
          if (section && Object.prototype.hasOwnProperty.call(section, field.key))
            field.original = section[field.key];
        });
        setMessage('Saved', 'ok');
      } else if (request.status === 422 && answer.errors) {
        showServerErrors(answer.errors);
      } else {
        setMessage('Not saved: ' + (answer.error || ('HTTP ' + request.status)), 'failed');
      }
    };
    request.onerror = function () {
      button.disabled = false;
      setMessage('Not saved: the service did not answer', 'failed');
    };
    request.send(JSON.stringify(changes));
  }

  renderStatus();
  renderForm();
  document.getElementById('save').addEventListener('click', save);
  document.body.dataset.ready = 'true';
})();
