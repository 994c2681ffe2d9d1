"""A Django app whose models use qv.django's sealed fields, for test_db_django.py."""
